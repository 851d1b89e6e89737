#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "CoreTestSupport.h"
#include "platform/Runtime.h"
#include "spamfilter/USpamfilter.h"

namespace {

using coretest::Lines;

TEST(Datenpfade, BuiltFromTheProgramFolder) {
  EXPECT_EQ(programmPfad, platform::ProgramFolder());
  EXPECT_EQ(mailboxenDatei, programmPfad + "Kelvo_Mailboxen.txt");
  EXPECT_EQ(spamdefsDatei, programmPfad + "Kelvo_Spamdefs.txt");
  EXPECT_EQ(infoDatei, programmPfad + "Kelvo_Info.rtf");
  EXPECT_EQ(logDatei, programmPfad + "Kelvo_Log.txt");
  EXPECT_EQ(mailboxenBspDatei, programmPfad + "Kelvo_Mailboxen_Bsp.txt");
  EXPECT_EQ(spamdefsBspDatei, programmPfad + "Kelvo_Spamdefs_Bsp.txt");
  DatenpfadeSetzen("/some/where");
  EXPECT_EQ(programmPfad, "/some/where/");
  EXPECT_EQ(logDatei, "/some/where/Kelvo_Log.txt");
  DatenpfadeSetzen(platform::ProgramFolder());
}

struct Entry {
  std::string host, user, passwort;
};

TEST(ServerlisteUebernehmen, Table) {
  const std::string lang = std::string(250, 'h') + " user pw";  // password starts at 257
  struct Case {
    const char* name;
    platform::TStringList lines;
    std::vector<Entry> expected;
  } cases[] = {
      {"no section header", Lines({"pop.a.de u p"}), {}},
      {"empty text", Lines({}), {}},
      {"lower-case header", Lines({"[mailboxen]", "pop.a.de u p"}), {{"pop.a.de", "u", "p"}}},
      {"header with more on its line is unknown",
       Lines({"[MAILBOXEN] ; Liste", "pop.a.de u p"}),
       {}},
      {"only a server", Lines({"[MAILBOXEN]", "pop.a.de"}), {{"pop.a.de", "", ""}}},
      {"fourth word ignored", Lines({"[MAILBOXEN]", "h u p extra"}), {{"h", "u", "p"}}},
      {"two blanks act as one", Lines({"[MAILBOXEN]", "  h  u   p  "}), {{"h", "u", "p"}}},
      {"tab does not separate", Lines({"[MAILBOXEN]", "h\tu p"}), {{"h\tu", "p", ""}}},
      {"password beyond character 255 is empty", Lines({"[MAILBOXEN]", lang}), {{std::string(250, 'h'), "user", ""}}},
      {"comments and empty lines leave no gaps",
       Lines({"; Kommentar", "[MAILBOXEN]", "a 1 x", "", "; mehr", "   ", "b 2 y"}),
       {{"a", "1", "x"}, {"b", "2", "y"}}},
      {"same server twice", Lines({"[MAILBOXEN]", "a u1 p", "a u2 p"}), {{"a", "u1", "p"}, {"a", "u2", "p"}}},
      {"unknown section ends the mailbox lines",
       Lines({"[MAILBOXEN]", "a u p", "[ANDERE]", "b u p", "[Mailboxen]", "c u p"}),
       {{"a", "u", "p"}, {"c", "u", "p"}}},
      {"letters keep their case", Lines({"[MAILBOXEN]", "Pop.A.de UsEr PaSs"}), {{"Pop.A.de", "UsEr", "PaSs"}}},
  };
  // The lines of a string list (the window's page) and the same text read
  // straight from the file (kelvorun) give the same list.
  coretest::ProgramFolder folder;
  for (const auto& c : cases)
  for (bool ausDatei : {false, true}) {
    SCOPED_TRACE(c.name);
    SCOPED_TRACE(ausDatei ? "from the file" : "from the lines");
    tpop3list l;
    l.anzahl = 99;
    l.ids.resize(3);
    l.namen.Add("old");
    if (ausDatei) {
      folder.Write("liste.txt", c.lines.Text());
      ServerlisteAusDatei(l, folder.File("liste.txt"));
    } else {
      ServerlisteUebernehmen(l, c.lines);
    }
    ASSERT_EQ(l.anzahl, static_cast<int32_t>(c.expected.size()));
    ASSERT_EQ(l.ids.size(), c.expected.size());
    ASSERT_EQ(l.namen.Count(), l.anzahl);
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(l.ids[i].id, static_cast<int32_t>(i));
      EXPECT_EQ(l.ids[i].host, c.expected[i].host);
      EXPECT_EQ(l.ids[i].user, c.expected[i].user);
      EXPECT_EQ(l.ids[i].passwort, c.expected[i].passwort);
      EXPECT_EQ(l.namen[static_cast<int>(i)], c.expected[i].host);
    }
  }
}

TEST(ServerlisteUebernehmen, ExampleFileHasEntries) {
  platform::TStringList l;
  l.LoadFromFile(platform::ProgramFolder() + "Kelvo_Mailboxen_Bsp.txt");
  tpop3list liste;
  ServerlisteUebernehmen(liste, l);
  EXPECT_GE(liste.anzahl, 1);
  for (const auto& e : liste.ids) {
    EXPECT_FALSE(e.host.empty());
    EXPECT_FALSE(e.user.empty());
    EXPECT_FALSE(e.passwort.empty());
  }
}

class ProtokollTest : public ::testing::Test {
 protected:
  coretest::ProgramFolder folder;
  tMailboxMgmt s;  // not set up: the log writer uses nothing of it
  std::string Log() { return folder.Read("Kelvo_Log.txt"); }
};

TEST_F(ProtokollTest, LineFormsByCategory) {
  ProtokollSchreiben(s, "COMM", "--- Start ---");  // no log yet: created
  ProtokollSchreiben(s, "tim", " +++: 5");
  ProtokollSchreiben(s, "ERR", "x");
  ProtokollSchreiben(s, "Tim", "pop.a.de");
  ProtokollSchreiben(s, "comm", "");
  std::vector<std::string> lines = platform::SplitLines(Log());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(Log().substr(0, 15), "--- Start ---\r\n");
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\d\d\.\d\d\.\d\d\d\d \d\d:\d\d:\d\d \+\+\+: 5)")))
      << lines[1];
  EXPECT_EQ(lines[2], "ERR:x");
  EXPECT_EQ(lines[2].size(), 5u);
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(\d\d\.\d\d\.\d\d\d\d \d\d:\d\d:\d\dpop\.a\.de)")))
      << lines[3];
  // Every line ends with CR LF; the empty COMM text gives an empty line.
  std::string log = Log();
  EXPECT_EQ(log.substr(log.size() - 4), "\r\n\r\n");
}

TEST_F(ProtokollTest, ExistingLogOnlyGrows) {
  folder.Write("Kelvo_Log.txt", "alte Zeile\r\n");
  ProtokollSchreiben(s, "COMM", "neu");
  EXPECT_EQ(Log(), "alte Zeile\r\nneu\r\n");
}

TEST_F(ProtokollTest, UnwritableLogIsIgnored) {
  // A folder where the log should be: neither open nor create can succeed.
  ASSERT_EQ(::mkdir(folder.File("Kelvo_Log.txt").c_str(), 0755), 0);
  EXPECT_NO_THROW(ProtokollSchreiben(s, "COMM", "verloren"));
  DatenpfadeSetzen("/nonexistent-kelvo-folder/");
  EXPECT_NO_THROW(ProtokollSchreiben(s, "TIM", "verloren"));
  DatenpfadeSetzen(folder.Path());
  // Later writes elsewhere are unaffected.
  ASSERT_EQ(::rmdir(folder.File("Kelvo_Log.txt").c_str()), 0);
  ProtokollSchreiben(s, "COMM", "wieder da");
  EXPECT_EQ(Log(), "wieder da\r\n");
}

}  // namespace
