#include "spamfilter/Rules.h"

#include "platform/Convert.h"
#include "platform/TextFile.h"
#include "spamfilter/qsstringfunktionen.h"

KELVO_CORE_BEGIN

namespace {

tVirdef TextRegel(const std::string& zeile, char art) {
  tVirdef r;
  r.art = art;
  r.op = zeile[0];
  r.positiv = !(zeile.size() > 1 && zeile[1] == '+');
  r.muster = platform::Trim(StrNach(zeile, " "));
  return r;
}

tVirdef GroessenRegel(const std::string& zeile) {
  tVirdef r;
  r.art = '#';
  r.op = '#';
  std::string modus = StrVor(zeile, " ");
  r.positiv = ListenIndex(" " + modus, " IN; OUT", ';') == 1;
  std::string rest = platform::Trim(StrNach(zeile, " "));
  std::string unten, oben;
  StrTeilen(rest, unten, "..", oben);
  r.von = platform::StrToInt(platform::Trim(unten));
  r.bis = platform::StrToInt(platform::Trim(oben));
  return r;
}

bool Enthaelt(std::string_view text, std::string_view muster) {
  return !muster.empty() && text.find(muster) != std::string_view::npos;
}
bool BeginntMit(std::string_view text, std::string_view muster) {
  return !muster.empty() && text.size() >= muster.size() && text.substr(0, muster.size()) == muster;
}
bool EndetMit(std::string_view text, std::string_view muster) {
  return !muster.empty() && text.size() >= muster.size() && text.substr(text.size() - muster.size()) == muster;
}

// The texts of one entry that the rules test, derived once per entry.
struct Pruefling {
  std::string subject;  // trimmed, upper case
  std::string from;     // trimmed, upper case
  std::string reduziert;
  bool reduziertFertig = false;
  int32_t groesse = 0;

  // Takes entry e's texts; what the last entry left is overwritten, its
  // room kept, so one record serves every entry of a check.
  void Nimm(const tMailSummary& e) {
    platform::AssignUpperTrimmed(e.subject, subject);
    platform::AssignUpperTrimmed(e.from, from);
    reduziertFertig = false;
    groesse = e.groesse;
  }

  std::string_view Text(char art) {
    switch (art) {
      case 'F':
        return from;
      case 'C':
        if (!reduziertFertig) {
          reduziert = Descramble(subject);
          reduziertFertig = true;
        }
        return reduziert;
      default:
        return subject;
    }
  }
};

bool Feuert(const tVirdef& r, Pruefling& p) {
  bool t;
  switch (r.op) {
    case '*':
      t = Enthaelt(p.Text(r.art), r.muster);
      break;
    case '<':
      t = BeginntMit(p.Text(r.art), r.muster);
      break;
    case '>':
      t = EndetMit(p.Text(r.art), r.muster);
      break;
    case '#':
      // Text rules that start with '#' keep their bounds 0..0.
      t = p.groesse >= r.von && p.groesse <= r.bis;
      break;
    default:
      // Unknown operators contain, and their flag plays no part.
      return Enthaelt(p.Text(r.art), r.muster);
  }
  return t == r.positiv;
}

// Calls `regel` with the section number and the upper-cased line of every
// rule line (sections 1 to 4), in order.
void RegelZeilen(const tZeilenQuelle& zeilen, const std::function<void(int32_t, std::string&)>& regel) {
  int32_t sektion = 0;
  zeilen([&](std::string_view roh) {
    std::string zeile = platform::Trim(roh);
    if (zeile.empty() || zeile[0] == ';') return;
    zeile = platform::UpperCase(zeile);
    if (zeile[0] == '[') {
      sektion = ListenIndex(zeile, kVirdefSektionen, ' ');
      return;
    }
    if (sektion < 1 || sektion > 4) return;
    if (zeile.size() > kVirdefZeileMax) zeile.resize(kVirdefZeileMax);
    regel(sektion, zeile);
  });
}

}  // namespace

void VirdefsUebernehmen(tMailboxMgmt& s, const tZeilenQuelle& zeilen) {
  // Room for exactly the rules there are, counted first, so the table never
  // grows by copying. Rules go in one by one, complete: a failing line
  // leaves the rules before it.
  size_t regeln = 0;
  RegelZeilen(zeilen, [&](int32_t, std::string&) { ++regeln; });
  s.virdefs.assign(1, tVirdef{});
  s.virdefs.reserve(regeln + 1);
  RegelZeilen(zeilen, [&](int32_t sektion, std::string& zeile) {
    if (sektion == 4)
      s.virdefs.push_back(GroessenRegel(zeile));
    else
      s.virdefs.push_back(TextRegel(zeile, kVirdefArten[sektion - 1]));
  });
}

void VirdefsUebernehmen(tMailboxMgmt& s, const platform::TStringList& zeilen) {
  VirdefsUebernehmen(s, ZeilenVon(zeilen));
}

std::string VirdefsDateiWaehlen() {
  ProgrammordnerPruefen();
  return platform::FileExists(spamdefsDatei) ? spamdefsDatei : spamdefsBspDatei;
}

void VirdefsAusDateiLesen(tMailboxMgmt& s, const std::string& pfad) { VirdefsUebernehmen(s, ZeilenAusDatei(pfad)); }

#ifndef KELVO_CONSOLE_BUILD
void VirdefsLesen(tMailboxMgmt& s) { VirdefsAusDateiLesen(s, VirdefsDateiWaehlen()); }
#endif

std::string Descramble(std::string_view text) {
  std::string r;
  r.reserve(text.size());
  for (char c : text) {
    if (c == ' ' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) r += c;
  }
  return r;
}

bool IsSpam(tMailboxMgmt& s, int32_t i) {
  if (s.aktuell == -1 || s.anzahl == 0) return false;
  // Callers loop over 1..anzahl; anything else is answered without reading.
  if (i < 1 || i > s.anzahl || static_cast<size_t>(i) >= s.summaries.size()) return false;
  if (s.virdefs.size() <= 1) return false;
  // One record for every entry of a check: its texts keep their room from
  // one entry to the next instead of being made anew for each.
  thread_local Pruefling p;
  p.Nimm(s.summaries[static_cast<size_t>(i)]);
  for (size_t k = 1; k < s.virdefs.size(); ++k) {
    if (Feuert(s.virdefs[k], p)) return true;
  }
  return false;
}

int32_t SpamAnzahl(tMailboxMgmt& s) {
  size_t n = Eintraege(s);
  int32_t c = 0;
  for (size_t i = 1; i <= n; ++i) c += s.summaries[i].spam != 0 ? 1 : 0;
  return c;
}

KELVO_CORE_END
