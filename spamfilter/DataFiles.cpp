#include "spamfilter/DataFiles.h"

#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/Runtime.h"
#include "platform/TextFile.h"
#include "spamfilter/qsstringfunktionen.h"

KELVO_CORE_BEGIN

std::string programmPfad;
std::string mailboxenDatei;
std::string spamdefsDatei;
std::string infoDatei;
std::string logDatei;
std::string mailboxenBspDatei;
std::string spamdefsBspDatei;

void DatenpfadeSetzen(const std::string& ordner) {
  if (ordner.empty()) {
    for (std::string* p : {&programmPfad, &mailboxenDatei, &spamdefsDatei, &infoDatei, &logDatei,
                           &mailboxenBspDatei, &spamdefsBspDatei})
      p->clear();
    return;
  }
  programmPfad = ordner;
  if (programmPfad.back() != '/') programmPfad += '/';
  mailboxenDatei = programmPfad + "Kelvo_Mailboxen.txt";
  spamdefsDatei = programmPfad + "Kelvo_Spamdefs.txt";
  infoDatei = programmPfad + "Kelvo_Info.rtf";
  logDatei = programmPfad + "Kelvo_Log.txt";
  mailboxenBspDatei = programmPfad + "Kelvo_Mailboxen_Bsp.txt";
  spamdefsBspDatei = programmPfad + "Kelvo_Spamdefs_Bsp.txt";
}

void ProgrammordnerPruefen() {
  if (programmPfad.empty())
    throw platform::Exception("Ordner des Programms " + platform::ProgramFileName() +
                              " kann nicht ermittelt werden");
}

std::string ServerlisteDateiWaehlen() {
  ProgrammordnerPruefen();
  return platform::FileExists(mailboxenDatei) ? mailboxenDatei : mailboxenBspDatei;
}

namespace {

// The paths exist from the start, so nothing ever sees them empty.
[[maybe_unused]] const bool kPfadeGesetzt = (DatenpfadeSetzen(platform::ProgramFolder()), true);

// Takes the next blank-separated field off `rest`. Both StrVor and StrNach
// look at the first 255 characters only, so each split sees the cut text.
std::string NaechstesFeld(std::string& rest) {
  std::string feld = platform::Trim(StrVor(rest, " "));
  rest = platform::Trim(StrNach(rest, " "));
  return feld;
}

}  // namespace

void ServerlisteUebernehmen(tpop3list& liste, const platform::TStringList& zeilen) {
  std::vector<tpop3id> ids;
  ids.reserve(static_cast<size_t>(zeilen.Count()));
  platform::TStringList namen;
  bool inMailboxen = false;
  int32_t i = -1;
  for (const std::string& roh : zeilen.Lines()) {
    std::string zeile = platform::Trim(roh);
    if (zeile.empty() || zeile[0] == ';') continue;
    if (zeile[0] == '[') {
      inMailboxen = ListenIndex(zeile, kMailboxenSektion, ' ') > 0;
      continue;
    }
    if (!inMailboxen) continue;
    tpop3id e;
    e.id = ++i;
    std::string rest = zeile;
    e.host = NaechstesFeld(rest);
    e.user = NaechstesFeld(rest);
    e.passwort = NaechstesFeld(rest);
    namen.Add(e.host);
    ids.push_back(std::move(e));
  }
  liste.anzahl = i + 1;
  liste.ids = std::move(ids);
  liste.namen = std::move(namen);
}

KELVO_CORE_END
