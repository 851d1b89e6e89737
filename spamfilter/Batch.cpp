#include "spamfilter/Batch.h"

#include "platform/Convert.h"
#include "platform/ScopeExit.h"
#include "spamfilter/Rules.h"
#include "spamfilter/Scan.h"

bool autodeleteAktiv = false;

int32_t Autodelete(tMailboxMgmt& s, bool protokoll) {
  if (autodeleteAktiv) return 0;
  autodeleteAktiv = true;
  platform::ScopeExit freigabe([] { autodeleteAktiv = false; });
  VirdefsLesen(s);
  MailheaderLaden(s);
  Spamcheck(s);
  int32_t n = SpamAnzahl(s);
  // A pass refused for a stale list reports nothing kept.
  s.behalten = 0;
  MailheaderLoeschen(s);
  if (protokoll) {
    ProtokollSchreiben(s, "TIM", " +++: " + platform::IntToStr(n));
    if (s.behalten > 0) ProtokollSchreiben(s, "COMM", " +++: " + GeaendertMeldung(s.behalten));
  }
  return n;
}
