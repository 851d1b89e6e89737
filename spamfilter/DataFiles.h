// The data files in the program's folder and the mailbox list with its
// parser.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/StringList.h"
#include "spamfilter/CoreBuild.h"

KELVO_CORE_BEGIN

// Folder of the running program (trailing '/') and the six data files in it.
// Built from the program's folder before main runs.
extern std::string programmPfad;
extern std::string mailboxenDatei;
extern std::string spamdefsDatei;
extern std::string infoDatei;
extern std::string logDatei;
extern std::string mailboxenBspDatei;
extern std::string spamdefsBspDatei;

// Rebuilds all paths from `ordner` (a trailing '/' is added when missing).
// The programs call it once at start-up with the program's folder; tests
// point it at a folder of their own. An empty folder (the program's folder
// could not be found) leaves every path empty: no file is ever looked for
// in the working directory.
void DatenpfadeSetzen(const std::string& ordner);

// Raises the failure that says so when the program's folder is not known.
void ProgrammordnerPruefen();

// The mailbox list file when it exists, else its example file.
std::string ServerlisteDateiWaehlen();

// One mailbox of the list.
struct tpop3id {
  int32_t id = 0;  // 0-based position in the list
  std::string host;
  std::string user;
  std::string passwort;
};

// The mailbox list.
struct tpop3list {
  int32_t anzahl = 0;
  std::vector<tpop3id> ids;  // 0..anzahl-1, file order
  platform::TStringList namen;  // host of every entry, same order
#ifdef KELVO_CONSOLE_BUILD
  int32_t fehler = 0;  // 1: mailbox list missing
  std::string fehlertext;
#endif
};

// Section header that starts the mailbox lines.
inline constexpr const char* kMailboxenSektion = "[MAILBOXEN]";

// Hands every line of a text to its argument, in order; may be called more
// than once and gives the same lines each time.
using tZeilenQuelle = std::function<void(const std::function<void(std::string_view)>&)>;

// Parses the lines of a mailbox list file into `liste`, replacing its
// entries and names.
void ServerlisteUebernehmen(tpop3list& liste, const platform::TStringList& zeilen);
void ServerlisteUebernehmen(tpop3list& liste, const tZeilenQuelle& zeilen);
// The same straight from the file, without holding its text: EFOpenError
// when it cannot be read, and `liste` keeps what it had.
void ServerlisteAusDatei(tpop3list& liste, const std::string& pfad);

// The lines of a string list, and of a file read piece by piece.
tZeilenQuelle ZeilenVon(const platform::TStringList& zeilen);
tZeilenQuelle ZeilenAusDatei(const std::string& pfad);

KELVO_CORE_END
