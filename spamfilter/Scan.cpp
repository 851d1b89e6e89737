#include "spamfilter/Scan.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
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

// True when `zeile` starts with `key`, the case of a-z ignored.
bool BeginntMit(std::string_view zeile, std::string_view key) {
  if (zeile.size() < key.size()) return false;
  for (size_t i = 0; i < key.size(); ++i)
    if (platform::UpCase(zeile[i]) != platform::UpCase(key[i])) return false;
  return true;
}

// Hands `f` each line that the text form of a received line (the line, then
// CR LF) splits into: the line itself, unless it holds line breaks of its
// own (untrusted server data may: bare CRs), which split it as the text form
// would. The pieces are views into `z`.
template <class F>
void TextZeilen(std::string_view z, F&& f) {
  // Nearly every line holds no break of its own: two searches of the
  // library's, which look at many bytes a step, settle that far cheaper
  // than the split's byte by byte walk. Such a line is its one piece, also
  // when it is empty.
  if (std::memchr(z.data(), '\r', z.size()) == nullptr && std::memchr(z.data(), '\n', z.size()) == nullptr) {
    f(z);
    return;
  }
  platform::ForEachTextLine(z, f);
  // The CR LF after the line ends one more, empty piece where nothing is
  // left after the line's own last break.
  if (z.empty() || z.back() == '\r' || z.back() == '\n') f(std::string_view());
}

// Collects what an entry keeps of a header as the client reads it, line by
// line: the text form's length, the first sender and subject line of the
// whole text, and its lines up to the kept share. Past that share nothing
// more is stored, so the memory of an entry, and of one reply while it is
// read, is bounded whatever the server sends. A scan uses one collector for
// all its messages, started anew for each, so its line list keeps its room
// rather than growing again for every header.
class Kopfsammler {
 public:
  // Forgets the last header; the room of the line list stays.
  void Neu() {
    laenge_ = 0;
    gespeichert_ = 0;
    voll_ = false;
    zeilen_.clear();
    from_.reset();
    subject_.reset();
  }

  // One line as the client received it, without its line end.
  void Zeile(const std::string& z) {
    laenge_ += z.size() + 2;
    if (voll_ && from_.has_value() && subject_.has_value()) return;
    // Kept lines are copies of their own size: a received line may hold far
    // more room.
    TextZeilen(z, [this](std::string_view teil) {
      Teil(teil);
      if (!voll_ && Platz(teil.size())) zeilen_.emplace_back(teil);
    });
  }

  size_t TextLaenge() const { return laenge_; }
  // Sender, subject and kept lines are taken out, not copied: the
  // collector is started anew before the next header.
  std::string FromNehmen() { return std::move(from_).value_or(std::string()); }
  std::string SubjectNehmen() { return std::move(subject_).value_or(std::string()); }
  const std::vector<std::string>& Gesammelt() const { return zeilen_; }
  // The kept lines, in a list of exactly their room.
  platform::TStringList ZeilenNehmen() {
    return platform::TStringList(
        std::vector<std::string>(std::make_move_iterator(zeilen_.begin()), std::make_move_iterator(zeilen_.end())));
  }

 private:
  // Sender and subject: the rest of the first line of the whole text that
  // starts with the key, as the header fields of the kept lines would give
  // it; cut to the kept share.
  void Teil(std::string_view teil) {
    auto feld = [teil](std::optional<std::string>& wert, std::string_view key) {
      if (!wert.has_value() && BeginntMit(teil, key)) wert.emplace(teil.substr(key.size(), kMaxGespeicherterHeader));
    };
    feld(from_, "FROM:");
    feld(subject_, "SUBJECT:");
  }
  // True when a line of `n` characters still fits the kept share; the first
  // that does not ends the share.
  bool Platz(size_t n) {
    if (zeilen_.size() < kMaxGespeicherteZeilen && gespeichert_ + n + 2 <= kMaxGespeicherterHeader) {
      gespeichert_ += n + 2;
      return true;
    }
    voll_ = true;
    return false;
  }

  size_t laenge_ = 0;
  size_t gespeichert_ = 0;
  bool voll_ = false;
  std::vector<std::string> zeilen_;
  std::optional<std::string> from_;
  std::optional<std::string> subject_;
};

// Runs the client's command `f` with its header lines handed to `k`; the
// handler is bound for this command only, however it ends.
template <class F>
auto Sammeln(TPop3Client& pop3, Kopfsammler& k, F&& f) {
  pop3.OnHeaderLine = [&k](std::string& z) { k.Zeile(z); };
  platform::ScopeExit unbind([&pop3] { pop3.OnHeaderLine = nullptr; });
  return f();
}

// True when the message now at entry p's number is the one the scan stored
// for it: its whole header as received (length and digest) is the entry's,
// so are the header lines the entry keeps, and so is its size. TOP n 0
// first, LIST n only after a TOP that matched; nothing is sent for a number
// beyond the server's count. A refused TOP or LIST means the message is
// gone.
bool Unveraendert(tMailboxMgmt& s, size_t p) {
  const tMailSummary& e = s.summaries[p];
  if (e.nr < 1 || e.nr > s.pop3->MessageCount() || p >= s.headers.size()) return false;
  Kopfsammler jetzt;
  if (!Sammeln(*s.pop3, jetzt, [&s, &e] { return s.pop3->FetchHeader(e.nr); })) return false;
  const TSummary& kopf = s.pop3->Summary();
  if (kopf.HeaderLength != e.kopfLaenge || kopf.HeaderDigest != e.kopfDigest) return false;
  if (jetzt.Gesammelt() != s.headers[p].Lines()) return false;
  return s.pop3->FetchSize(e.nr) && s.pop3->Summary().Bytes == e.groesse;
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
        Kopfsammler kopf;
        for (int32_t d = 1; d <= n; ++d) {
          b.ScanFetching(s, d, n);
          kopf.Neu();
          Sammeln(*s.pop3, kopf, [&s, d] { s.pop3->FetchSummary(d); });
          if (kopf.TextLaenge() <= kMinHeaderText) continue;  // no entry: never marked, never deleted
          ++j;
          // Slot d still holds message d's size: j never passes d.
          int32_t groesse = s.summaries[static_cast<size_t>(d)].groesse;
          tMailSummary& e = s.summaries[static_cast<size_t>(j)];
          e.nr = d;
          e.groesse = groesse;
          e.from = kopf.FromNehmen();
          e.subject = kopf.SubjectNehmen();
          e.kopfLaenge = s.pop3->Summary().HeaderLength;
          e.kopfDigest = s.pop3->Summary().HeaderDigest;
          s.headers[static_cast<size_t>(j)] = kopf.ZeilenNehmen();
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
  // The marks as the pass found them: what it deletes and what the list
  // keeps afterwards are both decided from this set, whatever happens to the
  // marks while the pass waits on the network.
  const size_t n = Eintraege(s);
  std::vector<bool> markiert(n + 1, false);
  std::vector<size_t> weg;
  for (size_t i = 1; i <= n; ++i) {
    markiert[i] = s.summaries[i].spam != 0;
    if (markiert[i]) weg.push_back(i);
  }
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
    if (!markiert[i] || (geaendert[i] && !fehler.Gesetzt())) bleib.push_back(i);
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
    s.summaries[k].spam = markiert[von] ? 1 : 0;
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
  for (const std::string& zeile : zeilen.Lines()) {
    if (BeginntMit(zeile, key)) return zeile.substr(key.size());
  }
  return {};
}

KELVO_CORE_END
