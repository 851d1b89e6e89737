#include "spamfilter/Session.h"

#include "platform/Runtime.h"
#include "platform/TextFile.h"
#include "pop3client/Pop3Client.h"
#include "spamfilter/qsstringfunktionen.h"

KELVO_CORE_BEGIN

tProtokollView* protokollMemo = nullptr;

void Init(tMailboxMgmt& s, platform::TComponent* owner) {
  if (owner == nullptr) owner = &platform::Application();
  s.pop3 = new TPop3Client(owner);  // freed by its owner
  s.pop3->TimeOut = kSessionTimeOutMs;
  s.pop3->DeleteOnRead = false;
  s.pop3->OnAuthenticationFailed = [&s](bool& Handled) { AuthenticationFailed(s, Handled); };
  s.pop3->OnConnectionFailed = [&s](platform::TObject* Sender) { ConnectionFailed(s, Sender); };
  s.busy = false;
  ServerZuruecksetzen(s);
}

bool AuswahlZuruecksetzen(tMailboxMgmt& s) {
  if (s.busy) return false;
  s.aktuell = -1;
  s.veraltet = true;
  return true;
}

void ServerZuruecksetzen(tMailboxMgmt& s) {
  if (!AuswahlZuruecksetzen(s)) return;
#ifdef KELVO_CONSOLE_BUILD
  s.fehler = 0;
#endif
}

void ServerEinstellen(tMailboxMgmt& s, const tpop3list& liste, int32_t index) {
  if (s.busy) return;
  if (index < 0 || index >= liste.anzahl || static_cast<size_t>(index) >= liste.ids.size()) {
    AuswahlZuruecksetzen(s);
    return;
  }
  s.konto = liste.ids[static_cast<size_t>(index)];
  s.aktuell = index;
  s.veraltet = true;
}

void GroesseMerken(tMailboxMgmt& s, int32_t Msg, int32_t Size) {
  // Msg comes from the server's LIST reply: untrusted.
  if (Msg < 1 || static_cast<size_t>(Msg) >= s.summaries.size()) return;
  s.summaries[static_cast<size_t>(Msg)].groesse = Size;
}

void AuthenticationFailed(tMailboxMgmt& s, bool& Handled) {
  // Without a view (the console program) the line goes nowhere.
  if (protokollMemo != nullptr) protokollMemo->AddLine(s.konto.host + kAuthFailedZeile);
  Handled = true;
  s.verbunden = false;
}

void ConnectionFailed(tMailboxMgmt& s, platform::TObject* /*Sender*/) { s.verbunden = false; }

void ProtokollSchreiben(tMailboxMgmt& /*s*/, std::string_view kategorie, std::string_view text) {
  try {
    std::string zeile;
    switch (ListenIndex(kategorie, "TIM COMM", ' ')) {  // case of a-z ignored
      case 1:
        zeile = platform::NowText();
        zeile += text;
        break;
      case 2:
        zeile = std::string(text);
        break;
      default:
        zeile = std::string(kategorie);
        zeile += ':';
        zeile += text;
        break;
    }
    zeile += "\r\n";
    // One open with append and create: an existing log is never truncated.
    platform::AppendToFile(logDatei, zeile);
  } catch (...) {
    // A lost log line must not disturb the caller.
  }
}

KELVO_CORE_END
