#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CoreTestSupport.h"
#include "platform/Exceptions.h"
#include "spamfilter/USpamfilter.h"

namespace {

using coretest::Lines;

void ExpectSameRules(const tMailboxMgmt& a, const tMailboxMgmt& b) {
  ASSERT_EQ(a.virdefs.size(), b.virdefs.size());
  for (size_t k = 0; k < a.virdefs.size(); ++k) {
    const tVirdef& x = a.virdefs[k];
    const tVirdef& y = b.virdefs[k];
    EXPECT_TRUE(x.art == y.art && x.op == y.op && x.muster == y.muster && x.von == y.von && x.bis == y.bis &&
                x.positiv == y.positiv)
        << "rule " << k;
  }
}

// Parses the text as lines (the window's page) into `s`; the same text read
// straight from a file (kelvorun) must give the same table and failure.
void Parse(tMailboxMgmt& s, const std::string& text) {
  const std::string datei = "/tmp/kelvo-rules-" + std::to_string(::getpid()) + ".txt";
  platform::WriteWholeFile(datei, text);
  tMailboxMgmt ausDatei;
  std::string fehlerAusDatei;
  try {
    VirdefsAusDateiLesen(ausDatei, datei);
  } catch (const platform::Exception& e) {
    fehlerAusDatei = e.Message();
  }
  std::remove(datei.c_str());
  platform::TStringList l;
  l.SetText(text);
  try {
    VirdefsUebernehmen(s, l);
  } catch (const platform::Exception& e) {
    EXPECT_EQ(fehlerAusDatei, e.Message());
    ExpectSameRules(s, ausDatei);
    throw;
  }
  EXPECT_EQ(fehlerAusDatei, "");
  ExpectSameRules(s, ausDatei);
}

struct RuleCase {
  const char* name;
  std::string text;
  char art, op;
  std::string muster;
  int32_t von, bis;
  bool positiv;
};

TEST(VirdefsUebernehmen, OneRuleTable) {
  const RuleCase cases[] = {
      {"contains", "[SUBJECT]\n* lotto", 'S', '*', "LOTTO", 0, 0, true},
      {"starts with, sender", "[FROM]\n< Spam@X.de", 'F', '<', "SPAM@X.DE", 0, 0, true},
      {"ends with, reduced subject", "[SCRAMBLE-SUBJECT]\n> gewinn", 'C', '>', "GEWINN", 0, 0, true},
      {"header in lower case", "[subject]\n* a", 'S', '*', "A", 0, 0, true},
      {"plus flag, no blank: empty pattern", "[SUBJECT]\n*+LOTTO", 'S', '*', "", 0, 0, false},
      {"plus flag, pattern trimmed", "[SUBJECT]\n<+  re: ", 'S', '<', "RE:", 0, 0, false},
      {"unknown operator, rest after first blank", "[SUBJECT]\nWIN BIG PRIZE", 'S', 'W', "BIG PRIZE", 0, 0, true},
      {"hash in a text section", "[SUBJECT]\n# egal", 'S', '#', "EGAL", 0, 0, true},
      {"umlaut keeps its case", "[SUBJECT]\n* \xc3\xa4rger", 'S', '*', "\xc3\xa4RGER", 0, 0, true},
      {"tab does not separate", "[SUBJECT]\n*\tx y", 'S', '*', "Y", 0, 0, true},
      {"only operator", "[FROM]\n>", 'F', '>', "", 0, 0, true},
      {"size IN", "[SIZE]\nIN 100..200", '#', '#', "", 100, 200, true},
      {"size out", "[SIZE]\nout 0..5000", '#', '#', "", 0, 5000, false},
      {"size other word", "[SIZE]\nABOVE 0..5000", '#', '#', "", 0, 5000, false},
      {"size blanks around bounds", "[SIZE]\nIN 100 .. 200", '#', '#', "", 100, 200, true},
      {"size in lower case", "[SIZE]\nin 1..2", '#', '#', "", 1, 2, true},
      {"size hex and signs", "[SIZE]\nIN $10..0x20", '#', '#', "", 16, 32, true},
      {"size hex lower-case prefix upper-cased", "[SIZE]\nIN x1f..-5", '#', '#', "", 31, -5, true},
      {"size low above high accepted", "[SIZE]\nIN 500..100", '#', '#', "", 500, 100, true},
      {"size 32 bits of hex", "[SIZE]\nOUT 0..$FFFFFFFF", '#', '#', "", 0, -1, false},
      {"comment and blank lines skipped", "; x\n\n[SUBJECT]\n   ; y\n\t* a \t", 'S', '*', "A", 0, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tMailboxMgmt s;
    s.virdefs.resize(7, tVirdef{'S', '*', "OLD", 1, 2, true});
    Parse(s, c.text);
    ASSERT_EQ(s.virdefs.size(), 2u);
    const tVirdef& r = s.virdefs[1];
    EXPECT_EQ(r.art, c.art);
    EXPECT_EQ(r.op, c.op);
    EXPECT_EQ(r.muster, c.muster);
    EXPECT_EQ(r.von, c.von);
    EXPECT_EQ(r.bis, c.bis);
    EXPECT_EQ(r.positiv, c.positiv);
  }
}

TEST(VirdefsUebernehmen, SectionsAndNumbering) {
  struct Case {
    const char* name;
    std::string text;
    std::string arten;  // art of rules 1..n
  } cases[] = {
      {"no header gives no rules", "* a\n< b", ""},
      {"empty text", "", ""},
      {"header with more on its line is unknown", "[SUBJECT] ; words\n* a\n[FROM]\n* b", "F"},
      {"unknown header ends a section", "[SUBJECT]\n* a\n[OTHER]\n* b\n[SIZE]\nIN 1..2", "S#"},
      {"size first takes the low numbers", "[SIZE]\nIN 1..2\nOUT 3..4\n[SUBJECT]\n* a", "##S"},
      {"sections repeat", "[FROM]\n* a\n[SUBJECT]\n* b\n[FROM]\n* c", "FSF"},
      {"hash line is a rule, not a comment", "[SUBJECT]\n#\n# x", "SS"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tMailboxMgmt s;
    Parse(s, c.text);
    ASSERT_EQ(s.virdefs.size(), c.arten.size() + 1);
    for (size_t k = 0; k < c.arten.size(); ++k) EXPECT_EQ(s.virdefs[k + 1].art, c.arten[k]);
  }
}

TEST(VirdefsUebernehmen, LinesCountWithTheirFirst255Characters) {
  tMailboxMgmt s;
  std::string pattern(300, 'q');
  Parse(s, "[SUBJECT]\n* " + pattern);
  ASSERT_EQ(s.virdefs.size(), 2u);
  EXPECT_EQ(s.virdefs[1].muster, std::string(253, 'Q'));
  // Trimming comes before the cut.
  Parse(s, "[SUBJECT]\n" + std::string(100, ' ') + "* " + pattern);
  EXPECT_EQ(s.virdefs[1].muster, std::string(253, 'Q'));
  // Blanks around the bounds are trimmed however many there are...
  Parse(s, "[SIZE]\nIN " + std::string(245, ' ') + "1..2");
  EXPECT_EQ(s.virdefs[1].von, 1);
  EXPECT_EQ(s.virdefs[1].bis, 2);
  // ...but a high bound beyond the cut is missing.
  EXPECT_THROW(Parse(s, "[SIZE]\nIN 1" + std::string(251, ' ') + "..2"), platform::EConvertError);
}

TEST(VirdefsUebernehmen, BadSizeBoundEndsTheParseKeepingEarlierRules) {
  struct Case {
    std::string line, message;
  } cases[] = {
      {"IN 100", "'' ist kein gültiger Integerwert"},
      {"100..200", "'' ist kein gültiger Integerwert"},
      {"IN 1..2..3", "'2..3' ist kein gültiger Integerwert"},
      {"IN abc..5", "'ABC' ist kein gültiger Integerwert"},
      {"IN 1..99999999999", "'99999999999' ist kein gültiger Integerwert"},
      {"IN 0x123456789..1", "'0X123456789' ist kein gültiger Integerwert"},
      {"IN", "'' ist kein gültiger Integerwert"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    tMailboxMgmt s;
    try {
      Parse(s, "[SUBJECT]\n* vorher\n[SIZE]\nIN 1..2\n" + c.line + "\n[FROM]\n* nachher");
      FAIL() << "no conversion error";
    } catch (const platform::EConvertError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    // The rules before the failing line, complete; nothing of it or after it.
    ASSERT_EQ(s.virdefs.size(), 3u);
    EXPECT_EQ(s.virdefs[1].muster, "VORHER");
    EXPECT_EQ(s.virdefs[2].von, 1);
    EXPECT_EQ(s.virdefs[2].bis, 2);
  }
}

class VirdefsLesenTest : public ::testing::Test {
 protected:
  coretest::ProgramFolder folder;
  tMailboxMgmt s;
};

TEST_F(VirdefsLesenTest, RealFileBeforeExample) {
  folder.Write("Kelvo_Spamdefs_Bsp.txt", "[FROM]\r\n* beispiel\r\n");
  VirdefsLesen(s);
  ASSERT_EQ(s.virdefs.size(), 2u);
  EXPECT_EQ(s.virdefs[1].muster, "BEISPIEL");
  folder.Write("Kelvo_Spamdefs.txt", "[SUBJECT]\r\n* echt\r* zwei\n");
  VirdefsLesen(s);
  ASSERT_EQ(s.virdefs.size(), 3u);
  EXPECT_EQ(s.virdefs[1].muster, "ECHT");
  EXPECT_EQ(s.virdefs[2].muster, "ZWEI");
}

TEST_F(VirdefsLesenTest, NeitherFileNamesTheExampleAndKeepsTheTable) {
  Parse(s, "[SUBJECT]\n* alt");
  try {
    VirdefsLesen(s);
    FAIL() << "no error";
  } catch (const platform::EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Datei " + folder.File("Kelvo_Spamdefs_Bsp.txt") + " kann nicht geöffnet werden");
  }
  ASSERT_EQ(s.virdefs.size(), 2u);
  EXPECT_EQ(s.virdefs[1].muster, "ALT");
}

TEST_F(VirdefsLesenTest, UnreadableRealFileIsNotReplacedByTheExample) {
  folder.Write("Kelvo_Spamdefs_Bsp.txt", "[FROM]\r\n* beispiel\r\n");
  folder.Write("Kelvo_Spamdefs.txt", "[FROM]\r\n* echt\r\n");
  ASSERT_EQ(::chmod(folder.Path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(folder.File("Kelvo_Spamdefs.txt").c_str(), 0), 0);
  const std::string expected = "Datei " + folder.File("Kelvo_Spamdefs.txt") + " kann nicht geöffnet werden";
  // Root reads every file, so the reader runs as an unprivileged user in a
  // child process.
  EXPECT_EXIT(
      {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(4);
        try {
          VirdefsLesen(s);
        } catch (const platform::EFOpenError& e) {
          ::_exit(e.Message() == expected && s.virdefs.size() == 1 ? 0 : 2);
        }
        ::_exit(3);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(VirdefsUebernehmen, ExampleFileParses) {
  coretest::ProgramFolder folder;
  tMailboxMgmt s;
  platform::TStringList l;
  l.LoadFromFile(platform::ProgramFolder() + "Kelvo_Spamdefs_Bsp.txt");
  VirdefsUebernehmen(s, l);
  std::string arten;
  for (size_t k = 1; k < s.virdefs.size(); ++k) arten += s.virdefs[k].art;
  // Every section carries at least one rule.
  for (char a : std::string("SFC#")) EXPECT_NE(arten.find(a), std::string::npos) << a;
}

TEST(Descramble, Table) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"L.O.T.T.O", "LOTTO"},   {"L O T T O", "L O T T O"}, {"! LOTTO", " LOTTO"},
      {"a1-b2_C3", "a1b2C3"},    {"\xc3\x84rger", "rger"},    {"\t\x01x\x7f", "x"},
      {"", ""},                  {"!!!", ""},                 {"  ", "  "},
  };
  for (const auto& c : cases) EXPECT_EQ(Descramble(c.in), c.out) << c.in;
}

// A session with one entry per message and the rules of `rules`.
struct Mailbox {
  tMailboxMgmt s;
  Mailbox(const std::string& rules, const std::vector<tMailSummary>& messages) {
    Parse(s, rules);
    s.aktuell = 0;
    s.summaries.assign(1, tMailSummary{});
    for (const auto& m : messages) s.summaries.push_back(m);
    s.anzahl = static_cast<uint16_t>(messages.size());
  }
};

tMailSummary Subject(const std::string& subject) { return tMailSummary{1, 1000, 0, "someone@example.com", subject}; }
tMailSummary From(const std::string& from) { return tMailSummary{1, 1000, 0, from, "Hallo"}; }
tMailSummary Size(int32_t size) { return tMailSummary{1, size, 0, "a@b.c", "Hallo"}; }

TEST(IsSpam, Table) {
  struct Case {
    std::string rules;
    tMailSummary message;
    bool spam;
  } cases[] = {
      {"[SUBJECT]\n* LOTTO", Subject("Re: Lotto-Gewinn"), true},
      {"[SUBJECT]\n< LOTTO", Subject("Re: Lotto-Gewinn"), false},
      {"[SUBJECT]\n> GEWINN", Subject("Re: Lotto-Gewinn"), true},
      {"[SUBJECT]\n> AB", Subject("ABAB"), true},
      {"[SUBJECT]\n> AB", Subject("AB"), true},
      {"[SUBJECT]\n> AB", Subject("A"), false},
      {"[SUBJECT]\n> AB", Subject("ABC"), false},
      {"[SUBJECT]\n>+ AB", Subject("ABC"), true},
      {"[SUBJECT]\n>+ AB", Subject("ABAB"), false},
      {"[SUBJECT]\n*+", Subject("x"), true},
      {"[SUBJECT]\n<+", Subject(""), true},
      {"[FROM]\n>+", From("x"), true},
      {"[SUBJECT]\n*+LOTTO", Subject("LOTTO"), true},
      {"[SUBJECT]\n*", Subject("x"), false},
      {"[SUBJECT]\n<", Subject(""), false},
      {"[SUBJECT]\nW", Subject("W"), false},   // unknown operator, empty pattern
      {"[SUBJECT]\nW+", Subject("W"), false},  // its flag plays no part
      {"[SUBJECT]\nW+ ABC", Subject("xabcx"), true},
      {"[SUBJECT]\n? ABC", Subject("xyz"), false},
      {"[SUBJECT]\n* LOTTO", Subject("lotto"), true},
      {"[SUBJECT]\n* \xc3\xa4rger", Subject("\xc3\x84rger"), false},
      {"[SUBJECT]\n* \xc3\xa4rger", Subject("\xc3\xa4rger"), true},  // stored 'äRGER' meets 'äRGER'
      {"[SUBJECT]\n< LOTTO", Subject("   Lotto  "), true},
      {"[SUBJECT]\n> LOTTO", Subject("\tLotto\r\n"), true},
      {"[FROM]\n< SPAM@", From("  spam@x.de"), true},
      {"[FROM]\n* LOTTO", Subject("Lotto"), false},  // sender rules look at the sender only
      {"[SCRAMBLE-SUBJECT]\n* LOTTO", Subject("L.O.T.T.O"), true},
      {"[SCRAMBLE-SUBJECT]\n* LOTTO", Subject("L O T T O"), false},
      {"[SCRAMBLE-SUBJECT]\n< LOTTO", Subject("! LOTTO"), false},
      {"[SCRAMBLE-SUBJECT]\n* LOT-TO", Subject("LOT-TO"), false},
      {"[SUBJECT]\n* LOT-TO", Subject("LOT-TO"), true},
      {"[SIZE]\nIN 0..10000", Size(10000), true},
      {"[SIZE]\nIN 0..10000", Size(10001), false},
      {"[SIZE]\nOUT 0..10000", Size(10001), true},
      {"[SIZE]\nOUT 0..10000", Size(10000), false},
      {"[SIZE]\nIN 500..100", Size(300), false},
      {"[SIZE]\nOUT 500..100", Size(300), true},
      {"[SIZE]\nIN -5..-1", Size(-3), true},  // signed comparison
      {"[SUBJECT]\n# x", Size(0), true},       // hash in a text section: size 0..0
      {"[SUBJECT]\n# x", Size(1), false},
      {"[SUBJECT]\n#+ x", Size(1), true},
      {"[SUBJECT]\n#+ x", Size(0), false},
      {"[SUBJECT]\n* NIX\n[SIZE]\nIN 1000..1000", Subject("hallo"), true},  // second rule fires
      {"", Subject("anything"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rules + " / '" + c.message.subject + "' '" + c.message.from + "' " +
                 std::to_string(c.message.groesse));
    Mailbox m(c.rules, {c.message});
    EXPECT_EQ(IsSpam(m.s, 1), c.spam);
  }
}

TEST(IsSpam, NothingWithoutSelectionEntriesOrValidIndex) {
  Mailbox m("[SUBJECT]\n*+", {Subject("a"), Subject("b")});
  EXPECT_TRUE(IsSpam(m.s, 2));
  for (int32_t i : {0, -1, 3, 70000}) EXPECT_FALSE(IsSpam(m.s, i)) << i;
  m.s.aktuell = -1;
  EXPECT_FALSE(IsSpam(m.s, 1));
  m.s.aktuell = 0;
  m.s.anzahl = 0;
  EXPECT_FALSE(IsSpam(m.s, 1));
  // anzahl larger than the array: still nothing read outside it.
  m.s.anzahl = 5;
  EXPECT_FALSE(IsSpam(m.s, 4));
}

TEST(SpamAnzahl, CountsMarkedEntriesUpToAnzahlOnly) {
  Mailbox m("[SUBJECT]\n* X", {Subject("x"), Subject("y"), Subject("x"), Subject("x")});
  m.s.anzahl = 3;  // the fourth slot is a leftover of a longer list
  m.s.summaries[4].spam = 1;
  m.s.aktuell = 0;
  Spamcheck(m.s);
  EXPECT_EQ(m.s.summaries[1].spam, 1);
  EXPECT_EQ(m.s.summaries[2].spam, 0);
  EXPECT_EQ(m.s.summaries[3].spam, 1);
  EXPECT_EQ(SpamAnzahl(m.s), 2);
  m.s.anzahl = 60000;  // beyond the array: counted only as far as it goes
  EXPECT_EQ(SpamAnzahl(m.s), 3);
}

TEST(Spamcheck, OverwritesHandMarksAndRespectsBusy) {
  Mailbox m("[SUBJECT]\n* X", {Subject("x"), Subject("y")});
  m.s.summaries[2].spam = 1;  // by hand
  m.s.busy = true;
  Spamcheck(m.s);
  EXPECT_EQ(m.s.summaries[1].spam, 0);
  EXPECT_EQ(m.s.summaries[2].spam, 1);
  m.s.busy = false;
  Spamcheck(m.s);
  EXPECT_EQ(m.s.summaries[1].spam, 1);
  EXPECT_EQ(m.s.summaries[2].spam, 0);
  EXPECT_FALSE(m.s.busy);
}

}  // namespace
