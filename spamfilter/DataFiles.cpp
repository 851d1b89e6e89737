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

tZeilenQuelle ZeilenVon(const platform::TStringList& zeilen) {
  return [&zeilen](const std::function<void(std::string_view)>& zeile) {
    for (const std::string& z : zeilen.Lines()) zeile(z);
  };
}

tZeilenQuelle ZeilenAusDatei(const std::string& pfad) {
  return [pfad](const std::function<void(std::string_view)>& zeile) { platform::ForEachLine(pfad, zeile); };
}

namespace {

// Calls `eintrag` with every trimmed mailbox line, in order.
void MailboxZeilen(const tZeilenQuelle& zeilen, const std::function<void(const std::string&)>& eintrag) {
  bool inMailboxen = false;
  zeilen([&](std::string_view roh) {
    std::string zeile = platform::Trim(roh);
    if (zeile.empty() || zeile[0] == ';') return;
    if (zeile[0] == '[') {
      inMailboxen = ListenIndex(zeile, kMailboxenSektion, ' ') > 0;
      return;
    }
    if (inMailboxen) eintrag(zeile);
  });
}

}  // namespace

void ServerlisteUebernehmen(tpop3list& liste, const tZeilenQuelle& zeilen) {
  // Room for exactly the entries there are, counted first: a large file of
  // other lines reserves nothing, and the array never grows by copying.
  size_t eintraege = 0;
  MailboxZeilen(zeilen, [&](const std::string&) { ++eintraege; });
  std::vector<tpop3id> ids;
  ids.reserve(eintraege);
  platform::TStringList namen;
  namen.Lines().reserve(eintraege);
  int32_t i = -1;
  MailboxZeilen(zeilen, [&](const std::string& zeile) {
    tpop3id e;
    e.id = ++i;
    std::string rest = zeile;
    e.host = NaechstesFeld(rest);
    e.user = NaechstesFeld(rest);
    e.passwort = NaechstesFeld(rest);
    namen.Add(e.host);
    ids.push_back(std::move(e));
  });
  liste.anzahl = i + 1;
  ids.shrink_to_fit();  // the text may have changed between the two passes
  liste.ids = std::move(ids);
  liste.namen = std::move(namen);
}

void ServerlisteUebernehmen(tpop3list& liste, const platform::TStringList& zeilen) {
  ServerlisteUebernehmen(liste, ZeilenVon(zeilen));
}

void ServerlisteAusDatei(tpop3list& liste, const std::string& pfad) {
  ServerlisteUebernehmen(liste, ZeilenAusDatei(pfad));
}

KELVO_CORE_END
