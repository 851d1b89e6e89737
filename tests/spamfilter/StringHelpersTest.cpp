#include <gtest/gtest.h>

#include <string>

#include "platform/Exceptions.h"
#include "spamfilter/qsstringfunktionen.h"

namespace {

struct SplitCase {
  const char* name;
  std::string text;
  std::string sep;
  std::string nach;  // StrNach
  std::string vor;   // StrVor
};

TEST(StrNachStrVor, Table) {
  const std::string lang300 = std::string(250, 'a') + "..." + std::string(47, 'b');  // ".." starts at 251
  const std::string spaet = std::string(254, 'a') + "..x";                          // ".." at 255, cut after one '.'
  const SplitCase cases[] = {
      {"no separator", "abc", "..", "", "abc"},
      {"separator at start", "..abc", "..", "abc", ""},
      {"separator at end", "abc..", "..", "", "abc"},
      {"first occurrence only", "100..200..300", "..", "200..300", "100"},
      {"empty separator never found", "abc", "", "", "abc"},
      {"empty text", "", " ", "", ""},
      {"blank separator keeps the rest untrimmed", "a  b ", " ", " b ", "a"},
      // The text is cut at 255 before the search, so the part after ".." is ".bb".
      {"found within the first 255", lang300, "..", ".bb", std::string(250, 'a')},
      {"separator cut away by the 255 cut", spaet, "..", "", std::string(254, 'a') + "."},
      {"bytes above 127 compared as they are", "x\xc3\xa4y", "\xc3\xa4", "y", "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string nach = StrNach(c.text, c.sep);
    std::string vor = StrVor(c.text, c.sep);
    EXPECT_EQ(nach, c.nach);
    EXPECT_EQ(vor, c.vor);
    EXPECT_LE(nach.size(), kKurzTextLaenge);
    EXPECT_LE(vor.size(), kKurzTextLaenge);
  }
}

TEST(StrNachStrVor, LongTextWithoutSeparatorIsCutTo255) {
  std::string t(300, 'x');
  EXPECT_EQ(StrVor(t, ";"), std::string(255, 'x'));
  EXPECT_EQ(StrNach(t, ";"), "");
  // A separator only after character 255 is not seen.
  std::string u = std::string(260, 'x') + ";rest";
  EXPECT_EQ(StrNach(u, ";"), "");
  EXPECT_EQ(StrVor(u, ";"), std::string(255, 'x'));
}

TEST(StrTeilen, Table) {
  struct Case {
    std::string text, sep, vor, nach;
  } cases[] = {
      {"100..200..300", "..", "100", "200..300"},
      {"100", "..", "100", ""},
      {"..200", "..", "", "200"},
      {"100..", "..", "100", ""},
      {"abc", "", "abc", ""},
      {"", "..", "", ""},
      // No 255 cut on the text: the parts may be long.
      {std::string(200, 'a') + ".." + std::string(400, 'b'), "..", std::string(200, 'a'), std::string(400, 'b')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 20));
    std::string vor = "old", nach = "old";
    StrTeilen(c.text, vor, c.sep, nach);
    EXPECT_EQ(vor, c.vor);
    EXPECT_EQ(nach, c.nach);
  }
}

TEST(StrTeilen, PositionBeyond255RaisesBeforeAnyOutput) {
  std::string atLimit = std::string(254, 'a') + "..b";  // found at position 255: fits
  std::string vor, nach;
  StrTeilen(atLimit, vor, "..", nach);
  EXPECT_EQ(vor.size(), 254u);
  EXPECT_EQ(nach, "b");

  std::string beyond = std::string(255, 'a') + "..b";  // position 256
  vor = "keep-vor";
  nach = "keep-nach";
  try {
    StrTeilen(beyond, vor, "..", nach);
    FAIL() << "no range error";
  } catch (const platform::ERangeError& e) {
    EXPECT_EQ(e.Message(), "Fehler bei Bereichsprüfung");
  }
  EXPECT_EQ(vor, "keep-vor");
  EXPECT_EQ(nach, "keep-nach");

  // A long text whose separator is missing is no error.
  StrTeilen(std::string(1000, 'a'), vor, "..", nach);
  EXPECT_EQ(vor.size(), 1000u);
  EXPECT_EQ(nach, "");
}

TEST(StrTeilen, OutputMayAliasTheText) {
  std::string t = "left..right";
  std::string other;
  StrTeilen(t, t, "..", other);
  EXPECT_EQ(t, "left");
  EXPECT_EQ(other, "right");
}

TEST(ListenIndex, Table) {
  const char* sections = "[SUBJECT] [FROM] [SCRAMBLE-SUBJECT] [SIZE]";
  struct Case {
    std::string item, list;
    char sep;
    int32_t expected;
  } cases[] = {
      {"[FROM]", sections, ' ', 2},
      {"[SUBJECT]", sections, ' ', 1},
      {"[SIZE]", sections, ' ', 4},
      {"[size]", sections, ' ', 4},
      {"SUBJECT", sections, ' ', 0},                    // part of an element
      {"[FROM] [SCRAMBLE-SUBJECT]", sections, ' ', 2},  // spans elements: the first one counts
      {"[SUBJECT] ; words", sections, ' ', 0},
      {" OUT", " IN; OUT", ';', 2},
      {" IN", " IN; OUT", ';', 1},
      {"IN", " IN; OUT", ';', 0},  // blanks around elements count
      {"TIM", "TIM COMM", ' ', 1},
      {"comm", "TIM COMM", ' ', 2},
      {"in", "IN", ' ', 1},
      {"\xc3\xa4", "\xc3\x84", ' ', 0},  // umlauts keep their case
      {"\xc3\xa4", "x \xc3\xa4", ' ', 2},
      {"", "A B", ' ', 0},
      {"", " A B", ' ', 1},  // separator at the start
      {"", "A B ", ' ', 3},  // separator at the end
      {"", "A  B", ' ', 2},  // two adjacent separators
      {"", "", ' ', 1},      // an empty list is one empty element
      {"A", "", ' ', 0},
      {"B", "A B B", ' ', 2},  // first occurrence
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("item '" + c.item + "' in '" + c.list + "'");
    EXPECT_EQ(ListenIndex(c.item, c.list, c.sep), c.expected);
  }
}

}  // namespace
