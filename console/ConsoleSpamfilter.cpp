#include "console/ConsoleSpamfilter.h"

#include "platform/StringList.h"
#include "platform/TextFile.h"

namespace {

// Records code 3 at the moment the login comes back not connected, before
// the closing steps, so that a failing QUIT cannot lose it.
class VerbindungsBeobachter : public tSessionObserver {
 public:
  void ScanLoginLost(tMailboxMgmt& s) override {
    s.fehler = kFehlerVerbindung;
    s.fehlertext = kVerbindungFehlertext;
  }
};

}  // namespace

std::string ServerlisteFehlertext() { return "+++ Serverliste \r\n" + mailboxenDatei + "\r\n   nicht gefunden"; }

std::string DefinitionenFehlertext() { return "Definitionsdatei \r\n-->" + spamdefsDatei + "   nicht gefunden."; }

void ServerlisteLesen(tpop3list& liste) {
  ProgrammordnerPruefen();
  if (platform::FileExists(mailboxenDatei)) {
    ServerdateiLesen(liste, mailboxenDatei);
  } else if (platform::FileExists(mailboxenBspDatei)) {
    ServerdateiLesen(liste, mailboxenBspDatei);
  } else {
    liste.fehler = kFehlerServerliste;
    liste.fehlertext = ServerlisteFehlertext();
  }
}

void ServerdateiLesen(tpop3list& liste, const std::string& pfad) { ServerlisteAusDatei(liste, pfad); }

void VirdefsLesen(tMailboxMgmt& s) {
  std::string pfad = VirdefsDateiWaehlen();
  if (!platform::FileExists(pfad)) {
    s.fehler = kFehlerDefinitionen;
    s.fehlertext = DefinitionenFehlertext();
    return;
  }
  VirdefsAusDateiLesen(s, pfad);
}

void MailheaderLaden(tMailboxMgmt& s) {
  if (s.aktuell == -1) return;
  VerbindungsBeobachter b;
  MailheaderLadenSchritte(s, &b);
}

void Spamcheck(tMailboxMgmt& s) {
  if (s.aktuell == -1) return;
  SpamcheckSchritte(s, nullptr);
}

void MailheaderLoeschen(tMailboxMgmt& s) {
  if (s.aktuell == -1) return;
  MailheaderLoeschenSchritte(s, nullptr);
}
