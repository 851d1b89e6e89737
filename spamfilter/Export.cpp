#include "spamfilter/Export.h"

#include <vector>

#include "platform/Convert.h"

std::string MarkierungenText(tMailboxMgmt& s, bool markiert) {
  std::vector<const tMailSummary*> gewaehlt;
  size_t n = Eintraege(s);
  for (size_t i = 1; i <= n; ++i)
    if ((s.summaries[i].spam != 0) == markiert) gewaehlt.push_back(&s.summaries[i]);

  std::string t = "[Subject]\r\n";
  for (const tMailSummary* e : gewaehlt) t += "< " + e->subject + "\r\n";
  t += "\r\n[From]\r\n";
  for (const tMailSummary* e : gewaehlt) t += "< " + e->from + "\r\n";
  t += "\r\n[Size]\r\n";
  for (const tMailSummary* e : gewaehlt) {
    std::string g = platform::IntToStr(e->groesse);
    t += "IN " + g + ".." + g + "\r\n";
  }
  t += "\r\n";
  return t;
}

void CopyMarkierungen(tMailboxMgmt& s, bool markiert,
                      const std::function<void(const std::string&)>& zwischenablage) {
  if (s.anzahl == 0 || !zwischenablage) return;
  zwischenablage(MarkierungenText(s, markiert));
}
