#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "spamfilter/USpamfilter.h"

namespace {

struct Session {
  tMailboxMgmt s;
  explicit Session(const std::vector<tMailSummary>& entries) {
    s.aktuell = 0;
    s.summaries.assign(1, tMailSummary{});
    for (const auto& e : entries) s.summaries.push_back(e);
    s.anzahl = static_cast<uint16_t>(entries.size());
  }
};

TEST(MarkierungenText, ByteForByte) {
  Session x({{1, 1234, 1, " spam@x.de", " Lotto!"},
             {2, 0, 0, "freund@y.de", ""},
             {4, 99, 1, " spam@x.de", "Re: Gewinn"}});
  EXPECT_EQ(MarkierungenText(x.s, true),
            "[Subject]\r\n<  Lotto!\r\n< Re: Gewinn\r\n\r\n"
            "[From]\r\n<  spam@x.de\r\n<  spam@x.de\r\n\r\n"
            "[Size]\r\nIN 1234..1234\r\nIN 99..99\r\n\r\n");
  EXPECT_EQ(MarkierungenText(x.s, false),
            "[Subject]\r\n< \r\n\r\n[From]\r\n< freund@y.de\r\n\r\n[Size]\r\nIN 0..0\r\n\r\n");
}

TEST(MarkierungenText, NoSelectedEntriesGivesTheThreeSections) {
  Session x({{1, 10, 0, "a", "b"}});
  EXPECT_EQ(MarkierungenText(x.s, true), "[Subject]\r\n\r\n[From]\r\n\r\n[Size]\r\n\r\n");
  // Leftovers past anzahl are no entries.
  x.s.summaries.push_back({2, 20, 1, "c", "d"});
  EXPECT_EQ(MarkierungenText(x.s, true), "[Subject]\r\n\r\n[From]\r\n\r\n[Size]\r\n\r\n");
}

TEST(CopyMarkierungen, HandsTheTextOverOnlyWithEntries) {
  Session x({{1, 10, 1, "a", "b"}});
  std::vector<std::string> got;
  auto clip = [&](const std::string& t) { got.push_back(t); };
  CopyMarkierungen(x.s, true, clip);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], MarkierungenText(x.s, true));
  x.s.anzahl = 0;
  CopyMarkierungen(x.s, true, clip);
  EXPECT_EQ(got.size(), 1u);
}

TEST(MarkierungenText, ReadBackItMarksTheSameMessages) {
  // The unmarked messages exported and parsed as rules mark those very
  // messages, and an empty subject gives a rule that never fires.
  Session x({{1, 500, 0, " Alice <alice@a.de>", " Treffen morgen"},
             {2, 7000, 1, "x@spam.de", "Lotto"},
             {3, 800, 0, "bob@b.de", ""},
             {5, 0, 0, "", "  "}});
  platform::TStringList rules;
  rules.SetText(MarkierungenText(x.s, false));
  tMailboxMgmt check;
  VirdefsUebernehmen(check, rules);
  // Three entries: a subject, a sender and a size rule each.
  EXPECT_EQ(check.virdefs.size(), 1u + 9u);
  int n = 0;
  for (size_t k = 1; k < check.virdefs.size(); ++k) {
    const tVirdef& r = check.virdefs[k];
    if (r.art != '#') {
      EXPECT_EQ(r.op, '<');
      EXPECT_TRUE(r.positiv);
    }
    n += r.muster.empty() && r.art != '#' ? 1 : 0;
  }
  EXPECT_EQ(n, 3);  // two empty subjects, one empty sender
  check.aktuell = 0;
  check.summaries = x.s.summaries;
  check.anzahl = x.s.anzahl;
  EXPECT_TRUE(IsSpam(check, 1));
  EXPECT_TRUE(IsSpam(check, 3));
  EXPECT_TRUE(IsSpam(check, 4));  // by its size 0
  EXPECT_FALSE(IsSpam(check, 2));
}

}  // namespace
