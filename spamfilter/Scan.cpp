#include "spamfilter/Scan.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/ScopeExit.h"
#include "pop3client/Pop3Client.h"
#include "spamfilter/Rules.h"

KELVO_CORE_BEGIN

namespace {

tSessionObserver& Beobachter(tSessionObserver* b) {
  static tSessionObserver keiner;
  return b != nullptr ? *b : keiner;
}

// Keeps the first failure of an operation while its closing steps go on;
// only a failing logout takes its place.
class Fehlerspeicher {
 public:
  void Merken() {
    if (!fehler_) fehler_ = std::current_exception();
  }
  template <class F>
  void Versuchen(F&& f) {
    try {
      f();
    } catch (...) {
      Merken();
    }
  }
  // The logout of the closing steps: when it fails, the caller learns what
  // went wrong last on the wire, not what led to the logout.
  template <class F>
  void Ersetzen(F&& f) {
    try {
      f();
    } catch (...) {
      fehler_ = std::current_exception();
    }
  }
  bool Gesetzt() const { return fehler_ != nullptr; }
  void Weitergeben() {
    if (fehler_) std::rethrow_exception(fehler_);
  }

 private:
  std::exception_ptr fehler_;
};

// Connect with the observer's say over its failure. True when logged in and
// still marked connected.
enum class Anmeldung { Ok, Verloren, Abgefangen };

Anmeldung Anmelden(tMailboxMgmt& s, tSessionObserver& b) {
  s.verbunden = true;
  try {
    s.pop3->Connect();
  } catch (const std::exception& e) {
    if (!b.ConnectFailed(s, e)) throw;
    return Anmeldung::Abgefangen;
  }
  return s.verbunden ? Anmeldung::Ok : Anmeldung::Verloren;
}

void Abmelden(tMailboxMgmt& s) {
  if (s.pop3->Connected()) s.pop3->Disconnect();
}

// The length of the text form of a line list: every line followed by CR LF.
size_t TextLaenge(const platform::TStringList& zeilen) {
  size_t summe = 0;
  for (const std::string& z : zeilen.Lines()) summe += z.size() + 2;
  return summe;
}

// The lines that the text form of `zeilen` splits into, without building
// that text: a line is moved as it is unless it holds a line break of its
// own (untrusted server data may), which splits it as the text form would.
std::vector<std::string> ZeilenDesTexts(std::vector<std::string>&& zeilen) {
  auto eigenerUmbruch = [](const std::string& z) {
    return std::memchr(z.data(), '\r', z.size()) != nullptr || std::memchr(z.data(), '\n', z.size()) != nullptr;
  };
  if (std::none_of(zeilen.begin(), zeilen.end(), eigenerUmbruch)) return std::move(zeilen);
  std::vector<std::string> aus;
  aus.reserve(zeilen.size());
  for (std::string& z : zeilen) {
    if (!eigenerUmbruch(z)) {
      aus.push_back(std::move(z));
      continue;
    }
    z += "\r\n";
    for (std::string& teil : platform::SplitLines(z)) aus.push_back(std::move(teil));
  }
  return aus;
}

// The header lines of the client's last fetched message as an entry holds
// them, before the cut. They move out of the client; its copy is read once.
platform::TStringList KopfzeilenNehmen(tMailboxMgmt& s) {
  platform::TStringList& kopf = s.pop3->Summary().Header;
  platform::TStringList h(ZeilenDesTexts(std::move(kopf.Lines())));
  kopf.Clear();
  return h;
}

// Drops the lines past the kept share of a header text. The scan and the
// deletion pass's check both cut with it, so that equal messages compare
// equal.
void Begrenzen(platform::TStringList& h) {
  size_t summe = 0;
  auto& zeilen = h.Lines();
  for (size_t i = 0; i < zeilen.size(); ++i) {
    summe += zeilen[i].size() + 2;
    if (summe > kMaxGespeicherterHeader) {
      zeilen.resize(i);
      return;
    }
  }
}

// True when the message now at entry p's number is the one the scan stored
// for it: its header lines, cut as the scan cut them, are the entry's. Sends
// TOP n 0 unless the number is beyond the server's count; a refused TOP
// means the message is gone.
bool Unveraendert(tMailboxMgmt& s, size_t p) {
  const int32_t nr = s.summaries[p].nr;
  if (nr < 1 || nr > s.pop3->MessageCount() || p >= s.headers.size()) return false;
  if (!s.pop3->FetchHeader(nr)) return false;
  platform::TStringList jetzt = KopfzeilenNehmen(s);
  Begrenzen(jetzt);
  return jetzt.Lines() == s.headers[p].Lines();
}

}  // namespace

std::string GeaendertMeldung(int32_t n) {
  return platform::IntToStr(n) + " markierte Mail(s) auf dem Server geändert, nicht gelöscht";
}

void MailheaderLadenSchritte(tMailboxMgmt& s, tSessionObserver* beobachter) {
  if (s.busy || s.pop3 == nullptr) return;
  tSessionObserver& b = Beobachter(beobachter);
  s.busy = true;
  bool vollstaendig = false;
  Fehlerspeicher fehler;
  try {
    s.pop3->Host = s.konto.host;
    s.pop3->UserID = s.konto.user;
    s.pop3->Password = s.konto.passwort;
    b.ScanConnecting(s);
    Anmeldung a = Anmelden(s, b);
    if (a == Anmeldung::Verloren) b.ScanLoginLost(s);
    if (a == Anmeldung::Ok) {
      // The count comes from the server: untrusted. It is cut to the 16-bit
      // entry count, so nothing beyond the list is ever addressed.
      int32_t n = std::clamp(s.pop3->MessageCount(), 0, kMaxEintraege);
      s.anzahl = static_cast<uint16_t>(n);
      b.ScanLoggedIn(s);
      if (n == 0) {
        vollstaendig = true;
      } else {
        b.ScanListing(s);
        s.summaries.resize(static_cast<size_t>(n) + 1);
        {
          // The size handler is bound for this listing only, however it ends.
          s.pop3->OnList = [&s](int32_t Msg, int32_t Size) { GroesseMerken(s, Msg, Size); };
          platform::ScopeExit unbind([&s] { s.pop3->OnList = nullptr; });
          s.pop3->ListSizes();
        }
        s.headers.assign(static_cast<size_t>(n) + 1, platform::TStringList());
        b.ScanListed(s);
        int32_t j = 0;
        for (int32_t d = 1; d <= n; ++d) {
          b.ScanFetching(s, d, n);
          s.pop3->FetchSummary(d);
          platform::TStringList& kopf = s.pop3->Summary().Header;
          if (TextLaenge(kopf) <= kMinHeaderText) continue;  // no entry: never marked, never deleted
          ++j;
          // Slot d still holds message d's size: j never passes d.
          int32_t groesse = s.summaries[static_cast<size_t>(d)].groesse;
          platform::TStringList h = KopfzeilenNehmen(s);
          tMailSummary& e = s.summaries[static_cast<size_t>(j)];
          e.nr = d;
          e.groesse = groesse;
          e.from = HeaderFeld(s, h, "FROM:");
          e.subject = HeaderFeld(s, h, "SUBJECT:");
          Begrenzen(h);
          s.headers[static_cast<size_t>(j)] = std::move(h);
          b.ScanEntryBuilt(s, j);
        }
        s.anzahl = static_cast<uint16_t>(j);
        vollstaendig = true;
      }
    }
  } catch (...) {
    fehler.Merken();
  }
  fehler.Versuchen([&] { b.ScanClosing(s); });
  fehler.Ersetzen([&] { Abmelden(s); });
  s.verbunden = false;
  fehler.Versuchen([&] { b.ScanClosed(s); });
  s.busy = false;
  s.veraltet = !vollstaendig;
  fehler.Weitergeben();
}

void SpamcheckSchritte(tMailboxMgmt& s, tSessionObserver* beobachter) {
  if (s.busy) return;
  tSessionObserver& b = Beobachter(beobachter);
  s.busy = true;
  Fehlerspeicher fehler;
  fehler.Versuchen([&] {
    b.CheckStarting(s);
    size_t n = Eintraege(s);
    for (size_t i = 1; i <= n; ++i) {
      int32_t k = static_cast<int32_t>(i);
      b.CheckingEntry(s, k);
      s.summaries[i].spam = IsSpam(s, k) ? 1 : 0;
      b.CheckedEntry(s, k);
    }
  });
  fehler.Versuchen([&] { b.CheckFinished(s); });
  s.busy = false;
  fehler.Weitergeben();
}

void MailheaderLoeschenSchritte(tMailboxMgmt& s, tSessionObserver* beobachter) {
  if (s.busy || s.veraltet || s.pop3 == nullptr) return;
  tSessionObserver& b = Beobachter(beobachter);
  s.busy = true;
  s.behalten = 0;
  std::vector<size_t> weg;
  const size_t n = Eintraege(s);
  for (size_t i = 1; i <= n; ++i)
    if (s.summaries[i].spam != 0) weg.push_back(i);
  // Marked entries whose message is no longer at their number.
  std::vector<bool> geaendert(n + 1, false);

  Fehlerspeicher fehler;
  try {
    b.DeleteConnecting(s);
    if (Anmelden(s, b) == Anmeldung::Ok) {
      b.DeleteLoggedIn(s);
      int32_t k = 0;
      for (size_t p : weg) {
        b.Deleting(s, ++k, static_cast<int32_t>(p));
        // Message numbers hold for one conversation only: since the scan,
        // other clients may have deleted mail and new mail may have come.
        if (Unveraendert(s, p)) {
          s.pop3->DeleteMessage(s.summaries[p].nr);
        } else {
          geaendert[p] = true;
        }
      }
    }
  } catch (...) {
    fehler.Merken();
  }
  fehler.Versuchen([&] { b.DeleteClosing(s); });
  fehler.Ersetzen([&] { Abmelden(s); });
  s.verbunden = false;

  // A failed pass keeps the unmarked entries only, whatever it found.
  std::vector<size_t> bleib;
  for (size_t i = 1; i <= n; ++i)
    if (s.summaries[i].spam == 0 || (geaendert[i] && !fehler.Gesetzt())) bleib.push_back(i);
  s.behalten = static_cast<uint16_t>(fehler.Gesetzt() ? 0 : std::count(geaendert.begin(), geaendert.end(), true));
  fehler.Versuchen([&] { b.DeleteClosed(s, static_cast<int32_t>(bleib.size())); });

  // Compaction: the kept entries move up in order, with their header lines
  // and marks.
  for (size_t k = 1; k <= bleib.size(); ++k) {
    size_t von = bleib[k - 1];
    if (von != k) {
      s.summaries[k] = s.summaries[von];
      if (von < s.headers.size() && k < s.headers.size()) s.headers[k] = std::move(s.headers[von]);
    }
  }
  for (size_t i = bleib.size() + 1; i <= n && i < s.headers.size(); ++i) s.headers[i].Clear();
  s.anzahl = static_cast<uint16_t>(bleib.size());
  fehler.Versuchen([&] { b.DeleteCompacted(s); });
  s.busy = false;
  s.veraltet = true;
  fehler.Weitergeben();
}

#ifndef KELVO_CONSOLE_BUILD
void MailheaderLaden(tMailboxMgmt& s) { MailheaderLadenSchritte(s, nullptr); }
void Spamcheck(tMailboxMgmt& s) { SpamcheckSchritte(s, nullptr); }
void MailheaderLoeschen(tMailboxMgmt& s) { MailheaderLoeschenSchritte(s, nullptr); }
#endif

std::string HeaderFeld(tMailboxMgmt& /*s*/, const platform::TStringList& zeilen, std::string_view key) {
  // Header lines come from the server: untrusted, used only as text.
  if (key.empty()) return {};
  // Compared in place: this runs twice for every line of every scanned header.
  auto beginntMitKey = [&key](const std::string& zeile) {
    if (zeile.size() < key.size()) return false;
    for (size_t i = 0; i < key.size(); ++i)
      if (platform::UpCase(zeile[i]) != platform::UpCase(key[i])) return false;
    return true;
  };
  for (const std::string& zeile : zeilen.Lines()) {
    if (beginntMitKey(zeile)) return zeile.substr(key.size());
  }
  return {};
}

KELVO_CORE_END
