// Scan and deletion pass against scripted POP3 conversations: the exact
// commands the core sends, and what the session holds after each failure.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CoreTestSupport.h"
#include "platform/Component.h"
#include "platform/EventSource.h"
#include "platform/Exceptions.h"
#include "platform/ScopeExit.h"
#include "pop3client/Pop3Client.h"
#include "spamfilter/USpamfilter.h"
#include "tests/fixtures/CountingNew.h"
#include "tests/fixtures/MailboxPeer.h"
#include "tests/fixtures/Pop3Scripts.h"
#include "tests/fixtures/ScriptedPeer.h"

namespace {

using fixtures::Script;
using fixtures::ScriptedPeer;
using Commands = std::vector<std::string>;
using namespace std::chrono_literals;

// One message as the scripted server shows it: header lines with CR LF,
// without the empty line, and the size LIST reports.
using Msg = fixtures::ScriptMail;

Msg Mail(const std::string& from, const std::string& subject, int32_t size) {
  return {"From: " + from + "\r\nSubject: " + subject + "\r\n", size};
}

Script& Login(Script& s, int32_t count, int32_t total = 1000) {
  return s.Send("+OK POP3 ready\r\n")
      .Exchange("USER anna", "+OK\r\n")
      .Exchange("PASS pw", "+OK\r\n")
      .Exchange("STAT", "+OK " + std::to_string(count) + " " + std::to_string(total) + "\r\n");
}

Script& List(Script& s, const std::vector<Msg>& msgs) {
  std::string reply = "+OK\r\n";
  for (size_t i = 0; i < msgs.size(); ++i) reply += std::to_string(i + 1) + " " + std::to_string(msgs[i].size) + "\r\n";
  return s.Exchange("LIST ", reply + ".\r\n");
}

// TOP d 0 alone, as the deletion pass checks a marked message.
Script& Header(Script& s, int32_t d, const Msg& m) {
  return s.Exchange("TOP " + std::to_string(d) + " 0", "+OK\r\n" + m.header + "\r\n.\r\n");
}

// The deletion pass's check of a marked message that is still the one the
// scan saw: TOP d 0, then LIST d with its size.
Script& Pruefen(Script& s, int32_t d, const Msg& m) {
  return Header(s, d, m).Exchange("LIST " + std::to_string(d), "+OK " + std::to_string(d) + " " + std::to_string(m.size) + "\r\n");
}

// TOP d 0 and LIST d. The per-message LIST reports a size the scan must not
// use.
Script& Top(Script& s, int32_t d, const Msg& m) {
  return Header(s, d, m).Exchange("LIST " + std::to_string(d), "+OK " + std::to_string(d) + " 77777\r\n");
}

Script& Quit(Script& s) { return s.Exchange("QUIT", "+OK bye\r\n").AwaitClose(); }

// A whole scan of `msgs`.
Script& Scan(Script& s, const std::vector<Msg>& msgs) {
  Login(s, static_cast<int32_t>(msgs.size()));
  List(s, msgs);
  for (size_t i = 0; i < msgs.size(); ++i) Top(s, static_cast<int32_t>(i + 1), msgs[i]);
  return Quit(s);
}

// A whole scan of `msgs`, then a pass that finds every message unchanged
// and deletes it.
Script& ScanAndDeleteAll(Script& s, const std::vector<Msg>& msgs) {
  Scan(s, msgs).Accept();
  Login(s, static_cast<int32_t>(msgs.size()));
  for (size_t i = 0; i < msgs.size(); ++i) {
    const int32_t d = static_cast<int32_t>(i + 1);
    Pruefen(s, d, msgs[i]).Exchange("DELE " + std::to_string(d), "+OK\r\n");
  }
  return Quit(s);
}

Commands LoginCommands() { return {"USER anna", "PASS pw", "STAT"}; }
Commands ScanCommands(size_t n) {
  Commands c = LoginCommands();
  c.push_back("LIST ");
  for (size_t d = 1; d <= n; ++d) {
    c.push_back("TOP " + std::to_string(d) + " 0");
    c.push_back("LIST " + std::to_string(d));
  }
  c.push_back("QUIT");
  return c;
}
Commands C(std::initializer_list<std::string> l) { return Commands(l); }
Commands operator+(Commands a, const Commands& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class RecordingView : public tProtokollView {
 public:
  void AddLine(const std::string& zeile) override { lines.push_back(zeile); }
  std::vector<std::string> lines;
};

class Conversation : public ::testing::Test {
 protected:
  coretest::ProgramFolder folder;
  platform::TComponent owner{nullptr};
  tMailboxMgmt s;
  RecordingView view;

  void SetUp() override {
    Init(s, &owner);
    tpop3list liste;
    ServerlisteUebernehmen(liste, coretest::Lines({"[MAILBOXEN]", "127.0.0.1 anna pw"}));
    ServerEinstellen(s, liste, 0);
    Rules("[SUBJECT]\r\n* spam\r\n");
    protokollMemo = &view;
  }
  void TearDown() override { protokollMemo = nullptr; }

  void Rules(const std::string& text) {
    platform::TStringList l;
    l.SetText(text);
    VirdefsUebernehmen(s, l);
  }
  void Talk(ScriptedPeer& peer) { s.pop3->Port = peer.Port(); }
  void Finish(ScriptedPeer& peer) {
    EXPECT_TRUE(peer.WaitDone(5000ms));
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
  }
  void ExpectIdle() {
    EXPECT_FALSE(s.busy);
    EXPECT_FALSE(s.verbunden);
    EXPECT_FALSE(s.pop3->Connected());
  }
  // A list from an earlier scan, so that "unchanged" can be seen.
  void EarlierList() {
    s.summaries.assign(3, tMailSummary{});
    s.summaries[1] = {1, 11, 0, "alt1", "alt1"};
    s.summaries[2] = {2, 22, 0, "alt2", "alt2"};
    s.anzahl = 2;
    s.veraltet = false;
  }
  void ExpectEarlierList() {
    ASSERT_EQ(s.anzahl, 2);
    EXPECT_EQ(s.summaries[1].subject, "alt1");
    EXPECT_EQ(s.summaries[2].subject, "alt2");
  }
};

TEST_F(Conversation, EmptyMailboxThenDeletionWithoutDele) {
  Script sc;
  Login(sc, 0, 0);
  Quit(sc).Accept();
  Login(sc, 0, 0);
  Quit(sc);
  ScriptedPeer peer(sc);
  Talk(peer);
  MailheaderLaden(s);
  EXPECT_EQ(s.anzahl, 0);
  EXPECT_FALSE(s.veraltet);
  ExpectIdle();
  Spamcheck(s);
  MailheaderLoeschen(s);
  EXPECT_TRUE(s.veraltet);
  ExpectIdle();
  Finish(peer);
  EXPECT_EQ(peer.Commands(), LoginCommands() + C({"QUIT"}) + LoginCommands() + C({"QUIT"}));
}

TEST_F(Conversation, ShortHeaderGetsNoEntryAndLaterEntriesKeepTheirNumbers) {
  const std::vector<Msg> msgs = {
      Mail("a@x.de", "Hallo", 100),
      Mail("b@x.de", "Termin", 200),
      {"X:1\r\n", 300},  // "X:1", the empty line and "." with CR LF: 10 characters
      Mail("c@x.de", "Spam", 400),
      {"X:12\r\n", 500},  // 11 characters: an entry without sender or subject
  };
  Script sc;
  Scan(sc, msgs).Accept();
  Login(sc, 5, 1500);
  Pruefen(sc, 4, msgs[3]).Exchange("DELE 4", "+OK\r\n");
  Quit(sc);
  ScriptedPeer peer(sc);
  Talk(peer);
  MailheaderLaden(s);
  ASSERT_EQ(s.anzahl, 4);
  EXPECT_FALSE(s.veraltet);
  const int32_t nr[] = {1, 2, 4, 5}, size[] = {100, 200, 400, 500};
  for (int i = 1; i <= 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(s.summaries[static_cast<size_t>(i)].nr, nr[i - 1]);
    EXPECT_EQ(s.summaries[static_cast<size_t>(i)].groesse, size[i - 1]);  // from the one LIST
  }
  EXPECT_EQ(s.summaries[3].subject, " Spam");
  EXPECT_EQ(s.summaries[3].from, " c@x.de");
  EXPECT_EQ(s.summaries[4].subject, "");
  EXPECT_EQ(s.headers[3].Lines(), (std::vector<std::string>{"From: c@x.de", "Subject: Spam", "", "."}));
  EXPECT_EQ(s.summaries.size(), 6u);  // count + 1; slot 5 is a leftover

  Spamcheck(s);
  EXPECT_EQ(SpamAnzahl(s), 1);
  EXPECT_EQ(s.summaries[3].spam, 1);
  MailheaderLoeschen(s);
  ExpectIdle();
  EXPECT_TRUE(s.veraltet);
  ASSERT_EQ(s.anzahl, 3);
  EXPECT_EQ(s.summaries[1].nr, 1);
  EXPECT_EQ(s.summaries[2].nr, 2);
  EXPECT_EQ(s.summaries[3].nr, 5);
  EXPECT_EQ(s.headers[3].Lines(), (std::vector<std::string>{"X:12", "", "."}));
  EXPECT_EQ(s.headers[4].Count(), 0);  // the dropped entry's lines are gone
  Finish(peer);
  EXPECT_EQ(peer.Commands(), ScanCommands(5) + LoginCommands() + C({"TOP 4 0", "LIST 4", "DELE 4", "QUIT"}));
}

TEST_F(Conversation, LongHeaderIsCutInItsEntryButSenderAndSubjectComeFromTheWholeText) {
  // 200 lines of 1000 characters, then the sender and subject lines: far
  // past the share of a header text that an entry keeps.
  std::string lang;
  for (int k = 0; k < 200; ++k) lang += "X-Fuell: " + std::string(991, 'a' + k % 26) + "\r\n";
  const std::vector<Msg> msgs = {{lang + "From: spaet@x.de\r\nSubject: ganz unten\r\n", 300000},
                                 Mail("b@x.de", "kurz", 100)};
  Script sc;
  Scan(sc, msgs);
  ScriptedPeer peer(sc);
  Talk(peer);
  MailheaderLaden(s);
  ASSERT_EQ(s.anzahl, 2);
  EXPECT_EQ(s.summaries[1].from, " spaet@x.de");
  EXPECT_EQ(s.summaries[1].subject, " ganz unten");
  size_t behalten = 0;
  for (const std::string& z : s.headers[1].Lines()) behalten += z.size() + 2;
  EXPECT_LE(behalten, kMaxGespeicherterHeader);
  EXPECT_GT(behalten, kMaxGespeicherterHeader - 1002);  // cut at the line that passes the share, not earlier
  EXPECT_EQ(s.headers[1][0], "X-Fuell: " + std::string(991, 'a'));
  EXPECT_EQ(s.headers[2].Lines(), (std::vector<std::string>{"From: b@x.de", "Subject: kurz", "", "."}));
  Finish(peer);
}

// Every header gets the whole share, however much the one before it kept:
// after a first header that fills most of it, a second one that would pass
// it together with the first keeps all its lines.
TEST_F(Conversation, EveryEntryHasTheWholeShareForItself) {
  auto fuellung = [](int zeilen, char c) {
    std::string kopf;
    for (int k = 0; k < zeilen; ++k) kopf += "X-Fuell: " + std::string(991, c) + "\r\n";
    return kopf;
  };
  const size_t zeile = 1000 + 2;  // one such line in the text form
  const int erste = static_cast<int>(kMaxGespeicherterHeader / zeile) - 2, zweite = 10;
  const std::vector<Msg> msgs = {{fuellung(erste, 'a'), 100}, {fuellung(zweite, 'b'), 200}};
  Script sc;
  Scan(sc, msgs);
  ScriptedPeer peer(sc);
  Talk(peer);
  MailheaderLaden(s);
  ASSERT_EQ(s.anzahl, 2);
  EXPECT_EQ(s.headers[1].Count(), erste + 2);  // every line, the empty one and "."
  std::vector<std::string> ganz(static_cast<size_t>(zweite), "X-Fuell: " + std::string(991, 'b'));
  ganz.insert(ganz.end(), {"", "."});
  EXPECT_EQ(s.headers[2].Lines(), ganz);
  Finish(peer);
}

// Headers made to fill the memory: a million tiny lines, and lines of bare
// CRs, each of which the text form splits into thousands. An entry keeps its
// bounded share, in a list of just that room, and its fields still come from
// the whole text; the deletion pass compares the same share and deletes.
TEST_F(Conversation, HostileHeadersKeepABoundedShareInTheirEntries) {
  std::string winzig;
  for (int k = 0; k < 1000000; ++k) winzig += "X:\r\n";
  std::string leer;
  for (int k = 0; k < 64; ++k) leer += "X-CR:" + std::string(30000, '\r') + "\r\n";
  const std::vector<Msg> msgs = {{winzig + "From: hinten@x.de\r\nSubject: spam eins\r\n", 4000100},
                                 {leer + "From: cr@x.de\r\nSubject: spam zwei\r\n", 1920100}};
  Script sc;
  ScanAndDeleteAll(sc, msgs);
  ScriptedPeer peer(sc);
  Talk(peer);
  // What is held at most while the replies are read, above what was held
  // before: the kept share and one line, not the header.
  auto hoechstens = [](auto&& f) {
    const size_t vorher = fixtures::HeldBytes();
    fixtures::ResetPeak();
    f();
    return fixtures::PeakBytes() - vorher;
  };
  const size_t leseSpitze = hoechstens([this] { MailheaderLaden(s); });
  ASSERT_EQ(s.anzahl, 2);
  EXPECT_EQ(s.summaries[1].from, " hinten@x.de");
  EXPECT_EQ(s.summaries[2].subject, " spam zwei");

  // What an entry holds: its list's room and every line's own room.
  auto belegt = [this](size_t j) {
    const std::vector<std::string>& zeilen = s.headers[j].Lines();
    size_t bytes = zeilen.capacity() * sizeof(std::string);
    for (const std::string& z : zeilen)
      if (z.capacity() > std::string().capacity()) bytes += z.capacity() + 1;
    return bytes;
  };
  const size_t grenze = 2 * kMaxGespeicherterHeader;
  ASSERT_EQ(s.headers[1].Count(), static_cast<int>(kMaxGespeicherteZeilen));
  EXPECT_EQ(s.headers[1].Lines(), std::vector<std::string>(kMaxGespeicherteZeilen, "X:"));
  EXPECT_LE(belegt(1), grenze);
  ASSERT_EQ(s.headers[2].Count(), static_cast<int>(kMaxGespeicherteZeilen));
  EXPECT_EQ(s.headers[2][0], "X-CR:");
  EXPECT_EQ(s.headers[2].Lines(), [] {
    std::vector<std::string> z(kMaxGespeicherteZeilen);
    z[0] = "X-CR:";
    return z;
  }());
  EXPECT_LE(belegt(2), grenze);
  // Both entries, the share of the header being read and the line being
  // read fit in this; all the lines of the first header (a million) are
  // many times more.
  const size_t spitze = 4 * grenze;
  EXPECT_LE(leseSpitze, spitze);

  Spamcheck(s);
  const size_t pruefSpitze = hoechstens([this] { MailheaderLoeschen(s); });
  EXPECT_LE(pruefSpitze, spitze);
  EXPECT_EQ(s.anzahl, 0);
  EXPECT_EQ(s.behalten, 0);
  Finish(peer);
  EXPECT_EQ(peer.Commands(), ScanCommands(2) + LoginCommands() +
                                 C({"TOP 1 0", "LIST 1", "DELE 1", "TOP 2 0", "LIST 2", "DELE 2", "QUIT"}));
}

TEST_F(Conversation, HeaderFieldsTakeTheFirstWholeLineOfTheKey) {
  const std::vector<Msg> msgs = {
      {"X-From: nicht@x.de\r\nfrom:erst@x.de\r\nFrom: zweit@x.de\r\nSUBJECT:  Zwei Blanks\r\n"
       "Subject: noch einer\r\n",
       10},
      {"Subject: Fortsetzung\r\n folgt\r\n", 20},
      // A lone CR inside a line, and one right before its CR LF, end lines
      // in the text form of the header as well: the entry holds the lines
      // of that text, and its fields come from them.
      {"From: a@x.de\rSubject: versteckt\r\nX-Ende: b\r\r\n", 30},
  };
  Script sc;
  Scan(sc, msgs);
  ScriptedPeer peer(sc);
  Talk(peer);
  MailheaderLaden(s);
  ASSERT_EQ(s.anzahl, 3);
  EXPECT_EQ(s.summaries[1].from, "erst@x.de");
  EXPECT_EQ(s.summaries[1].subject, "  Zwei Blanks");
  EXPECT_EQ(s.summaries[2].from, "");
  EXPECT_EQ(s.summaries[2].subject, " Fortsetzung");
  EXPECT_EQ(s.headers[2].Lines(), (std::vector<std::string>{"Subject: Fortsetzung", " folgt", "", "."}));
  EXPECT_EQ(s.headers[3].Lines(),
            (std::vector<std::string>{"From: a@x.de", "Subject: versteckt", "X-Ende: b", "", "", "."}));
  EXPECT_EQ(s.summaries[3].from, " a@x.de");
  EXPECT_EQ(s.summaries[3].subject, " versteckt");
  Finish(peer);
}

TEST_F(Conversation, EveryEntryMarkedEmptiesTheList) {
  const std::vector<Msg> msgs = {Mail("a", "spam 1", 10), Mail("b", "spam 2", 20)};
  Script sc;
  ScanAndDeleteAll(sc, msgs);
  ScriptedPeer peer(sc);
  Talk(peer);
  MailheaderLaden(s);
  Spamcheck(s);
  MailheaderLoeschen(s);
  EXPECT_EQ(s.anzahl, 0);
  // A second pass straight away is refused: nothing more is sent.
  MailheaderLoeschen(s);
  Finish(peer);
  EXPECT_EQ(peer.Commands(), ScanCommands(2) + LoginCommands() + C({"TOP 1 0", "LIST 1", "DELE 1", "TOP 2 0", "LIST 2", "DELE 2", "QUIT"}));
}

// --- failures of the scan

TEST_F(Conversation, ScanWithEmptyCredentialsContactsNobody) {
  ScriptedPeer peer(Script().Send("+OK\r\n"));
  Talk(peer);
  EarlierList();
  s.konto.passwort = "";
  try {
    MailheaderLaden(s);
    FAIL() << "no failure";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.Message(), "Authentication failed");
  }
  ExpectEarlierList();
  EXPECT_TRUE(s.veraltet);
  ExpectIdle();
  EXPECT_EQ(peer.Conversations(), 0);
}

TEST_F(Conversation, ScanConnectionRefusedOrTimedOut) {
  EarlierList();
  s.pop3->Port = fixtures::UnusedPort();
  EXPECT_THROW(MailheaderLaden(s), platform::Exception);
  ExpectEarlierList();
  EXPECT_TRUE(s.veraltet);
  ExpectIdle();

  fixtures::FullBacklogListener silent;
  s.pop3->Port = silent.Port();
  s.pop3->TimeOut = 300;
  s.veraltet = false;
  EXPECT_THROW(MailheaderLaden(s), platform::Exception);
  ExpectEarlierList();
  EXPECT_TRUE(s.veraltet);
  ExpectIdle();
}

TEST_F(Conversation, ScanFailuresOfTheLogin) {
  struct Case {
    const char* name;
    Script script;
    std::string message;  // expected failure; empty: none passed on
    size_t viewLines;
    Commands commands;
  } cases[] = {
      {"greeting refused",
       Script().Send("-ERR busy\r\n").Exchange("QUIT", "+OK\r\n").AwaitClose(),
       "-ERR busy",
       0,
       {"QUIT"}},
      {"STAT refused",
       Script()
           .Send("+OK\r\n")
           .Exchange("USER anna", "+OK\r\n")
           .Exchange("PASS pw", "+OK\r\n")
           .Exchange("STAT", "-ERR locked\r\n")
           .Exchange("QUIT", "+OK\r\n")
           .AwaitClose(),
       "-ERR locked",
       0,
       LoginCommands() + C({"QUIT"})},
      {"login rejected twice",
       Script()
           .Send("+OK\r\n")
           .Exchange("USER anna", "+OK\r\n")
           .Exchange("PASS pw", "-ERR wrong\r\n")
           .Exchange("USER anna", "+OK\r\n")
           .Exchange("PASS pw", "-ERR wrong\r\n")
           .Exchange("QUIT", "+OK\r\n")
           .AwaitClose(),
       "Authentication failed",
       1,
       {"USER anna", "PASS pw", "USER anna", "PASS pw", "QUIT"}},
      {"login rejected once, accepted at the retry",
       Script()
           .Send("+OK\r\n")
           .Exchange("USER anna", "+OK\r\n")
           .Exchange("PASS pw", "-ERR wrong\r\n")
           .Exchange("USER anna", "+OK\r\n")
           .Exchange("PASS pw", "+OK\r\n")
           .Exchange("STAT", "+OK 3 300\r\n")
           .Exchange("QUIT", "+OK\r\n")
           .AwaitClose(),
       "",
       1,
       {"USER anna", "PASS pw", "USER anna", "PASS pw", "STAT", "QUIT"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    view.lines.clear();
    ScriptedPeer peer(c.script);
    Talk(peer);
    EarlierList();
    std::string failure;
    try {
      MailheaderLaden(s);
    } catch (const platform::Exception& e) {
      failure = e.Message();
    }
    // The client's message carries the reply line as received.
    EXPECT_EQ(failure.substr(0, c.message.size()), c.message);
    EXPECT_EQ(failure.empty(), c.message.empty()) << failure;
    ExpectEarlierList();
    EXPECT_TRUE(s.veraltet);
    ExpectIdle();
    EXPECT_EQ(view.lines.size(), c.viewLines);
    if (c.viewLines) {
      EXPECT_EQ(view.lines[0], "127.0.0.1 +++ Authentication failed");
    }
    Finish(peer);
    EXPECT_EQ(peer.Commands(), c.commands);
  }
}

TEST_F(Conversation, ScanFailuresAfterTheCount) {
  const std::vector<Msg> msgs = {Mail("a", "eins", 10), Mail("b", "zwei", 20), Mail("c", "drei", 30)};
  struct Case {
    const char* name;
    Script script;
    size_t rebuilt;  // entries rebuilt before the failure
    Commands commands;
    bool quit;
  };
  std::vector<Case> cases;
  {
    Script sc;
    Login(sc, 3);
    sc.Exchange("LIST ", "+OK\r\n1 10\r\n2 zwanzig\r\n.\r\n");
    Quit(sc);
    cases.push_back({"a size that is no number", sc, 0, LoginCommands() + C({"LIST ", "QUIT"}), true});
  }
  {
    Script sc;
    Login(sc, 3);
    List(sc, msgs);
    Top(sc, 1, msgs[0]);
    sc.Exchange("TOP 2 0", "-ERR no such message\r\n");
    Quit(sc);
    cases.push_back({"TOP refused", sc, 1,
                     LoginCommands() + C({"LIST ", "TOP 1 0", "LIST 1", "TOP 2 0", "QUIT"}), true});
  }
  {
    Script sc;
    Login(sc, 3);
    List(sc, msgs);
    Top(sc, 1, msgs[0]);
    Top(sc, 2, msgs[1]);
    sc.Expect("TOP 3 0").Pause(900ms).AwaitClose();
    cases.push_back({"a reply that times out", sc, 2,
                     LoginCommands() + C({"LIST ", "TOP 1 0", "LIST 1", "TOP 2 0", "LIST 2", "TOP 3 0"}),
                     false});
  }
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(c.script);
    Talk(peer);
    s.pop3->TimeOut = 300;
    EarlierList();
    EXPECT_THROW(MailheaderLaden(s), platform::Exception);
    EXPECT_EQ(s.anzahl, 3);  // the server's count
    EXPECT_TRUE(s.veraltet);
    ExpectIdle();
    for (size_t i = 1; i <= c.rebuilt; ++i) EXPECT_EQ(s.summaries[i].subject, msgs[i - 1].header.substr(msgs[i - 1].header.find("Subject:") + 8, 5));
    if (c.rebuilt == 0) {
      EXPECT_EQ(s.summaries[1].subject, "alt1");  // leftovers
    }
    // A deletion pass is refused until a scan completes.
    MailheaderLoeschen(s);
    Finish(peer);
    EXPECT_EQ(peer.Commands(), c.commands);
    EXPECT_EQ(peer.Conversations(), 1);
  }
}

// --- failures of the deletion pass

class Deletion : public Conversation {
 protected:
  const std::vector<Msg> msgs = {Mail("a", "spam 1", 10), Mail("b", "gut", 20), Mail("c", "spam 2", 30),
                                 Mail("d", "gut 2", 40)};
  // The scan of `msgs` followed by a second conversation.
  Script Start() {
    Script sc;
    Scan(sc, msgs).Accept();
    return sc;
  }
  void ScanAndCheck() {
    MailheaderLaden(s);
    Spamcheck(s);
    ASSERT_EQ(SpamAnzahl(s), 2);
  }
  void ExpectUnmarkedOnly() {
    ASSERT_EQ(s.anzahl, 2);
    EXPECT_EQ(s.summaries[1].nr, 2);
    EXPECT_EQ(s.summaries[2].nr, 4);
    EXPECT_EQ(s.summaries[1].spam, 0);
    EXPECT_EQ(s.headers[1].Lines()[1], "Subject: gut");
    EXPECT_EQ(s.headers[2].Lines()[1], "Subject: gut 2");
    EXPECT_TRUE(s.veraltet);
    ExpectIdle();
  }
};

TEST_F(Deletion, RefusedSecondDeleStopsAndLogsOut) {
  Script sc = Start();
  Login(sc, 4);
  Pruefen(sc, 1, msgs[0]).Exchange("DELE 1", "+OK\r\n");
  Pruefen(sc, 3, msgs[2]).Exchange("DELE 3", "-ERR cannot\r\n");
  Quit(sc);
  ScriptedPeer peer(sc);
  Talk(peer);
  ScanAndCheck();
  try {
    MailheaderLoeschen(s);
    FAIL() << "no failure";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.Message().substr(0, 11), "-ERR cannot");
  }
  ExpectUnmarkedOnly();
  Finish(peer);
  EXPECT_EQ(peer.Commands(), ScanCommands(4) + LoginCommands() + C({"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "LIST 3", "DELE 3", "QUIT"}));
}

TEST_F(Deletion, LoginFailuresSendNoDele) {
  struct Case {
    const char* name;
    Script tail;
    bool fails;
    Commands commands;
    size_t viewLines;
  } cases[] = {
      {"greeting refused", Script().Send("-ERR busy\r\n").Exchange("QUIT", "+OK\r\n").AwaitClose(), true, {"QUIT"}, 0},
      {"login accepted only at the retry",
       Script()
           .Send("+OK\r\n")
           .Exchange("USER anna", "+OK\r\n")
           .Exchange("PASS pw", "-ERR\r\n")
           .Exchange("USER anna", "+OK\r\n")
           .Exchange("PASS pw", "+OK\r\n")
           .Exchange("STAT", "+OK 4 100\r\n")
           .Exchange("QUIT", "+OK\r\n")
           .AwaitClose(),
       false,
       {"USER anna", "PASS pw", "USER anna", "PASS pw", "STAT", "QUIT"},
       1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    view.lines.clear();
    Script sc = Start();
    for (const auto& step : c.tail.Steps()) {
      // Append the tail's steps to the scan's script.
      switch (step.kind) {
        case Script::Kind::Send: sc.Send(step.bytes); break;
        case Script::Kind::Expect: sc.Expect(step.bytes); break;
        case Script::Kind::AwaitClose: sc.AwaitClose(); break;
        default: FAIL() << "step kind not used here";
      }
    }
    ScriptedPeer peer(sc);
    Talk(peer);
    ScanAndCheck();
    if (c.fails) {
      EXPECT_THROW(MailheaderLoeschen(s), platform::Exception);
    } else {
      EXPECT_NO_THROW(MailheaderLoeschen(s));
    }
    ExpectUnmarkedOnly();
    EXPECT_EQ(view.lines.size(), c.viewLines);
    Finish(peer);
    EXPECT_EQ(peer.Commands(), ScanCommands(4) + c.commands);
  }
}

TEST_F(Deletion, DeleTimingOutSendsNoQuit) {
  Script sc = Start();
  Login(sc, 4);
  Pruefen(sc, 1, msgs[0]).Exchange("DELE 1", "+OK\r\n");
  Pruefen(sc, 3, msgs[2]).Expect("DELE 3").Pause(900ms).AwaitClose();
  ScriptedPeer peer(sc);
  Talk(peer);
  ScanAndCheck();
  s.pop3->TimeOut = 300;
  EXPECT_THROW(MailheaderLoeschen(s), platform::Exception);
  ExpectUnmarkedOnly();
  Finish(peer);
  EXPECT_EQ(peer.Commands(), ScanCommands(4) + LoginCommands() + C({"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "LIST 3", "DELE 3"}));
}

// The mailbox between scan and deletion pass, as users meet it: new mail,
// other clients deleting, another order. Before each DELE the pass checks
// with TOP n 0 and LIST n that the message at the number is the one the
// scan marked, header lines and size; every other marked entry stays on the
// server and in the list, marked. The server keeps a real mailbox, and each
// case reads what it holds afterwards.
TEST_F(Deletion, OnlyTheMessagesTheScanMarkedAreDeleted) {
  auto M = [](const std::string& id, const std::string& from, const std::string& subject, int32_t size) {
    return Msg{"From: " + from + "\r\nSubject: " + subject + "\r\nMessage-ID: <" + id + ">\r\n", size};
  };
  const Msg s1 = M("s1", "a", "spam 1", 10), g1 = M("g1", "b", "gut", 20), s2 = M("s2", "c", "spam 2", 30),
            g2 = M("g2", "d", "gut 2", 40);
  const std::vector<Msg> vier = {s1, g1, s2, g2};
  const Msg neu = M("neu", "e", "neu", 50), spamNeu = M("sn", "f", "spam neu", 60);
  const Msg gleicherBetreff = M("z", "z", "spam 2", 30);  // another sender, same subject and size
  const Msg andereId = M("s2x", "c", "spam 2", 30);       // only the Message-ID differs
  // The same header lines, one of them big: a size rule marks only that.
  const Msg gross = M("g", "a", "Angebot", 20000000), klein = M("g", "a", "Angebot", 500);
  const std::string betreffRegel = "[SUBJECT]\r\n* spam\r\n", groessenRegel = "[SIZE]\r\nIN 1000000..2000000000\r\n";
  // Headers an entry keeps only in part, from a broken server: the
  // difference lies where the kept share does not reach.
  auto vorn = [](const std::string& zeilen, Msg m) {
    m.header = zeilen + m.header;
    return m;
  };
  // A first line longer than the kept share (65535 bytes and a bare LF):
  // the entry keeps no line at all.
  const std::string ueberlang = "X-Lang: " + std::string(65535 - 8, 'l') + "\n";
  std::string vieleZeilen, vielText;
  for (int k = 0; k < 1100; ++k) vieleZeilen += "X-Z: " + std::to_string(k) + "\r\n";
  for (int k = 0; k < 100; ++k) vielText += "X-Fuell: " + std::string(991, 'a' + k % 26) + "\r\n";
  const Msg langA = vorn(ueberlang, M("l", "a", "spam lang", 70000)),
            langZ = vorn(ueberlang, M("l", "z", "spam lang", 70000));
  const Msg zeilen1 = vorn(vieleZeilen, M("v1", "a", "spam viel", 9000)),
            zeilen2 = vorn(vieleZeilen, M("v2", "a", "spam viel", 9000));
  const Msg text1 = vorn(vielText, M("t1", "a", "spam text", 99000)), text2 = vorn(vielText, M("t2", "a", "spam text", 99000));
  const Msg nurCr = vorn("X-A: a\rX-B: b\r\n", M("k", "a", "spam cr", 30)),
            crLf = vorn("X-A: a\r\nX-B: b\r\n", M("k", "a", "spam cr", 30));
  struct Fall {
    const char* name;
    std::vector<Msg> scan;   // the mailbox the scan reads
    std::string regeln;
    std::vector<Msg> jetzt;  // the mailbox when the pass logs in
    Commands pass;           // after the login
    std::vector<std::string> bleibt;  // the server afterwards: Message-ID and size of each message
    std::vector<std::string> liste;   // entries afterwards: number, subject, mark
    int behalten;
    std::string stoerung = {};  // a command of the pass the server answers otherwise...
    std::string antwort = {};   // ... with this, or closes (kClose)
  };
  const std::string weg = "-ERR no such message\r\n";
  const Fall faelle[] = {
      {"unchanged", vier, betreffRegel, vier,
       {"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "LIST 3", "DELE 3", "QUIT"},
       {"g1 20", "g2 40"}, {"2 gut 0", "4 gut 2 0"}, 0},
      {"one new mail arrived", vier, betreffRegel, {s1, g1, s2, g2, neu},
       {"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "LIST 3", "DELE 3", "QUIT"},
       {"g1 20", "g2 40", "neu 50"}, {"2 gut 0", "4 gut 2 0"}, 0},
      {"two new mails arrived, one of them spam the scan never saw", vier, betreffRegel,
       {s1, g1, s2, g2, neu, spamNeu},
       {"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "LIST 3", "DELE 3", "QUIT"},
       {"g1 20", "g2 40", "neu 50", "sn 60"}, {"2 gut 0", "4 gut 2 0"}, 0},
      {"first message deleted by another client", vier, betreffRegel, {g1, s2, g2},
       {"TOP 1 0", "TOP 3 0", "QUIT"},
       {"g1 20", "s2 30", "g2 40"}, {"1 spam 1 1", "2 gut 0", "3 spam 2 1", "4 gut 2 0"}, 2},
      {"first deleted and one new arrived: same count", vier, betreffRegel, {g1, s2, g2, neu},
       {"TOP 1 0", "TOP 3 0", "QUIT"},
       {"g1 20", "s2 30", "g2 40", "neu 50"}, {"1 spam 1 1", "2 gut 0", "3 spam 2 1", "4 gut 2 0"}, 2},
      {"shuffled: same count", vier, betreffRegel, {s1, g2, g1, s2},
       {"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "QUIT"},
       {"g2 40", "g1 20", "s2 30"}, {"2 gut 0", "3 spam 2 1", "4 gut 2 0"}, 1},
      {"another message with the same subject at the number", vier, betreffRegel, {s1, g1, gleicherBetreff, g2},
       {"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "QUIT"},
       {"g1 20", "z 30", "g2 40"}, {"2 gut 0", "3 spam 2 1", "4 gut 2 0"}, 1},
      {"same sender, subject and size, another Message-ID at the number", vier, betreffRegel,
       {s1, g1, andereId, g2},
       {"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "QUIT"},
       {"g1 20", "s2x 30", "g2 40"}, {"2 gut 0", "3 spam 2 1", "4 gut 2 0"}, 1},
      {"the marked one gone, the next one moved up", vier, betreffRegel, {s1, g1, g2},
       {"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "QUIT"},
       {"g1 20", "g2 40"}, {"2 gut 0", "3 spam 2 1", "4 gut 2 0"}, 1},
      {"a marked number beyond the count gets no TOP", vier, betreffRegel, {g1},
       {"TOP 1 0", "QUIT"},
       {"g1 20"}, {"1 spam 1 1", "2 gut 0", "3 spam 2 1", "4 gut 2 0"}, 2},
      {"TOP refused in the pass", vier, betreffRegel, vier,
       {"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "QUIT"},
       {"g1 20", "s2 30", "g2 40"}, {"2 gut 0", "3 spam 2 1", "4 gut 2 0"}, 1, "TOP 3 0", weg},
      {"LIST n refused in the pass", vier, betreffRegel, vier,
       {"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "LIST 3", "QUIT"},
       {"g1 20", "s2 30", "g2 40"}, {"2 gut 0", "3 spam 2 1", "4 gut 2 0"}, 1, "LIST 3", weg},
      {"LIST n naming no size", vier, betreffRegel, vier,
       {"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "LIST 3", "QUIT"},
       {"g1 20", "s2 30", "g2 40"}, {"2 gut 0", "3 spam 2 1", "4 gut 2 0"}, 1, "LIST 3", "+OK 3 viel\r\n"},
      {"size rule: unchanged", {gross, klein}, groessenRegel, {gross, klein},
       {"TOP 1 0", "LIST 1", "DELE 1", "QUIT"},
       {"g 500"}, {"2 Angebot 0"}, 0},
      {"size rule: the big one deleted by another client, the small one moved up", {gross, klein}, groessenRegel,
       {klein},
       {"TOP 1 0", "LIST 1", "QUIT"},
       {"g 500"}, {"1 Angebot 1", "2 Angebot 0"}, 1},
      {"the first line alone past the kept share, unchanged", {langA, g1}, betreffRegel, {langA, g1},
       {"TOP 1 0", "LIST 1", "DELE 1", "QUIT"},
       {"g1 20"}, {"2 gut 0"}, 0},
      {"the first line alone past the kept share, another sender, the same size", {langA, g1}, betreffRegel,
       {langZ, g1},
       {"TOP 1 0", "QUIT"},
       {"l 70000", "g1 20"}, {"1 spam lang 1", "2 gut 0"}, 1},
      {"a difference after line 1024", {zeilen1, g1}, betreffRegel, {zeilen2, g1},
       {"TOP 1 0", "QUIT"},
       {"v2 9000", "g1 20"}, {"1 spam viel 1", "2 gut 0"}, 1},
      {"a difference after 64 KiB", {g1, text1}, betreffRegel, {g1, text2},
       {"TOP 2 0", "QUIT"},
       {"g1 20", "t2 99000"}, {"1 gut 0", "2 spam text 1"}, 1},
      {"bare CRs at the scan and at the pass", {nurCr, g1}, betreffRegel, {nurCr, g1},
       {"TOP 1 0", "LIST 1", "DELE 1", "QUIT"},
       {"g1 20"}, {"2 gut 0"}, 0},
      {"bare CRs at the scan, CR LF at the pass", {nurCr, g1}, betreffRegel, {crLf, g1},
       {"TOP 1 0", "QUIT"},
       {"k 30", "g1 20"}, {"1 spam cr 1", "2 gut 0"}, 1},
      // A failure on the wire: no QUIT, so the server removes nothing; the
      // list keeps the unmarked entries only.
      {"the server closing during the check", vier, betreffRegel, vier,
       {"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0"},
       {"s1 10", "g1 20", "s2 30", "g2 40"}, {"2 gut 0", "4 gut 2 0"}, 0, "TOP 3 0", fixtures::MailboxPeer::kClose},
  };
  auto kennung = [](const Msg& m) {
    const size_t at = m.header.find("Message-ID: <") + 13;
    return m.header.substr(at, m.header.find('>', at) - at) + " " + std::to_string(m.size);
  };
  for (const Fall& f : faelle) {
    SCOPED_TRACE(f.name);
    fixtures::MailboxPeer box(f.scan);
    s.pop3->Port = box.Port();
    Rules(f.regeln);
    MailheaderLaden(s);
    Spamcheck(s);
    ASSERT_EQ(box.Commands(1), ScanCommands(f.scan.size()));
    std::map<int32_t, std::vector<std::string>> gelesen;  // the lines each entry kept, by message number
    for (size_t i = 1; i <= s.anzahl; ++i) gelesen[s.summaries[i].nr] = s.headers[i].Lines();
    // Between scan and pass: other clients, new mail, a server in trouble.
    box.Replace(f.jetzt);
    const std::string stoerung = f.stoerung, antwort = f.antwort;
    box.SetHook([stoerung, antwort](int, const std::string& cmd) -> std::optional<std::string> {
      if (cmd == stoerung) return antwort;
      return std::nullopt;
    });
    bool fehler = false;
    try {
      MailheaderLoeschen(s);
    } catch (const platform::Exception&) {
      fehler = true;
    }
    EXPECT_EQ(fehler, f.antwort == fixtures::MailboxPeer::kClose);
    EXPECT_EQ(box.Commands(2), LoginCommands() + f.pass);
    std::vector<std::string> bleibt;
    for (const Msg& m : box.Mailbox()) bleibt.push_back(kennung(m));
    EXPECT_EQ(bleibt, f.bleibt);
    std::vector<std::string> liste;
    for (size_t i = 1; i <= s.anzahl; ++i)
      liste.push_back(std::to_string(s.summaries[i].nr) + s.summaries[i].subject + " " +
                      std::to_string(s.summaries[i].spam));
    EXPECT_EQ(liste, f.liste);
    // Every kept entry still has the header lines of its own message.
    for (size_t i = 1; i <= s.anzahl; ++i) EXPECT_EQ(s.headers[i].Lines(), gelesen[s.summaries[i].nr]) << i;
    EXPECT_EQ(s.behalten, f.behalten);
    EXPECT_TRUE(s.veraltet);
    ExpectIdle();
    EXPECT_TRUE(box.Failures().empty());
  }
}

// The client's event source, holding the rest of each reply the mailbox
// peer writes in two pieces until the client waits for it with nothing left
// to read: the rest then never comes in the same receive as the first line,
// however the kernel would have timed the pieces.
class RestWhenTheClientWaits : public platform::EventSource {
 public:
  // A client that never asks for the rest gets it after this.
  static constexpr auto kHoldLimit = 10s;

  void Wait(std::vector<platform::WaitSocket>& sockets, std::optional<platform::Clock::time_point> deadline) override {
    bool waitsForBytes = false, nothingToRead = true;
    for (const platform::WaitSocket& w : sockets) {
      if (!(w.events & POLLIN)) continue;
      waitsForBytes = true;
      int n = 0;
      if (::ioctl(w.fd, FIONREAD, &n) != 0 || n > 0) nothingToRead = false;
    }
    {
      std::lock_guard<std::mutex> g(lock_);
      if (firstSent_ && waitsForBytes && nothingToRead) {
        restWanted_ = true;
        cv_.notify_all();
      }
    }
    inner_.Wait(sockets, deadline);
  }
  void Wake() override { inner_.Wake(); }
  void ResetWake() override { inner_.ResetWake(); }

  // On the peer's thread, between the two writes of a reply.
  void HoldRest() {
    std::unique_lock<std::mutex> g(lock_);
    firstSent_ = true;
    restWanted_ = false;
    ++held;
    g.unlock();
    // A wait that began before the first line went out looks again.
    inner_.Wake();
    g.lock();
    if (!cv_.wait_for(g, kHoldLimit, [this] { return restWanted_; })) ++heldTooLong;
    firstSent_ = false;
  }

  int held = 0;         // replies written in two pieces
  int heldTooLong = 0;  // of them, rests the client never waited for

 private:
  platform::PollEventSource inner_;
  std::mutex lock_;
  std::condition_variable cv_;
  bool firstSent_ = false;
  bool restWanted_ = false;
};

// A server that writes each reply's first line and its rest in two writes
// gets the same conversation as one that writes whole replies, and ends with
// the same mailbox: every line of a reply is waited for, not only those the
// first receive brought.
TEST_F(Deletion, RepliesInTwoPiecesGiveTheSameConversation) {
  auto M = [](const std::string& id, const std::string& from, const std::string& subject, int32_t size) {
    return Msg{"From: " + from + "\r\nSubject: " + subject + "\r\nMessage-ID: <" + id + ">\r\n", size};
  };
  const std::vector<Msg> vier = {M("s1", "a", "spam 1", 10), M("g1", "b", "gut", 20), M("s2", "c", "spam 2", 30),
                                 M("g2", "d", "gut 2", 40)};
  struct Ergebnis {
    Commands scan, pass;
    std::vector<std::string> bleibt, liste;
  };
  auto laufen = [&](bool zweiteilig) {
    SCOPED_TRACE(zweiteilig ? "two pieces" : "whole replies");
    RestWhenTheClientWaits quelle;
    if (zweiteilig) platform::SetEventSource(&quelle);
    platform::ScopeExit zurueck([] { platform::SetEventSource(nullptr); });
    fixtures::MailboxPeer box(vier);
    if (zweiteilig) box.SplitReplies([&quelle] { quelle.HoldRest(); });
    s.pop3->Port = box.Port();
    Rules("[SUBJECT]\r\n* spam\r\n");
    EXPECT_NO_THROW(MailheaderLaden(s));
    Spamcheck(s);
    EXPECT_EQ(SpamAnzahl(s), 2);
    EXPECT_NO_THROW(MailheaderLoeschen(s));
    Ergebnis e{box.Commands(1), box.Commands(2), {}, {}};
    for (const Msg& m : box.Mailbox()) e.bleibt.push_back(m.header.substr(m.header.find("Message-ID:")));
    for (size_t i = 1; i <= s.anzahl; ++i) {
      e.liste.push_back(std::to_string(s.summaries[i].nr) + s.summaries[i].subject + " " +
                        std::to_string(s.summaries[i].spam));
      // Each kept entry has the header lines of its own message.
      const auto& zeilen = s.headers[i].Lines();
      EXPECT_TRUE(zeilen.size() > 1 && zeilen[1] == "Subject:" + s.summaries[i].subject) << i;
    }
    EXPECT_EQ(s.behalten, 0);
    ExpectIdle();
    EXPECT_TRUE(box.Failures().empty());
    EXPECT_EQ(box.Conversations(), 2);
    // The listing and four headers in the scan, two headers in the pass;
    // each rest went out only when the client waited for it.
    EXPECT_EQ(quelle.held, zweiteilig ? 7 : 0);
    EXPECT_EQ(quelle.heldTooLong, 0);
    return e;
  };
  const Ergebnis ganz = laufen(false);
  const Ergebnis geteilt = laufen(true);
  const Commands pass = LoginCommands() + C({"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "LIST 3", "DELE 3", "QUIT"});
  const std::vector<std::string> bleibt = {"Message-ID: <g1>\r\n", "Message-ID: <g2>\r\n"};
  const std::vector<std::string> liste = {"2 gut 0", "4 gut 2 0"};
  for (const Ergebnis* e : {&ganz, &geteilt}) {
    EXPECT_EQ(e->scan, ScanCommands(4));
    EXPECT_EQ(e->pass, pass);
    EXPECT_EQ(e->bleibt, bleibt);
    EXPECT_EQ(e->liste, liste);
  }
  EXPECT_EQ(geteilt.scan, ganz.scan);
  EXPECT_EQ(geteilt.pass, ganz.pass);
  EXPECT_EQ(geteilt.bleibt, ganz.bleibt);
  EXPECT_EQ(geteilt.liste, ganz.liste);
}

// A header longer than an entry keeps, unchanged on the server, is the same
// message: its whole text and the kept share both match, and it is deleted.
TEST_F(Deletion, LongHeaderComparesAsTheEntryKeepsIt) {
  std::string lang;
  for (int k = 0; k < 100; ++k) lang += "X-Fuell: " + std::string(991, 'a' + k % 26) + "\r\n";
  const Msg gross = {lang + "From: a@x.de\r\nSubject: spam lang\r\n", 100000};
  Script sc;
  ScanAndDeleteAll(sc, {gross});
  ScriptedPeer peer(sc);
  Talk(peer);
  MailheaderLaden(s);
  Spamcheck(s);
  ASSERT_EQ(SpamAnzahl(s), 1);
  ASSERT_LT(s.headers[1].Count(), 100);  // cut in the entry
  MailheaderLoeschen(s);
  EXPECT_EQ(s.anzahl, 0);
  EXPECT_EQ(s.behalten, 0);
  Finish(peer);
  EXPECT_EQ(peer.Commands(), ScanCommands(1) + LoginCommands() + C({"TOP 1 0", "LIST 1", "DELE 1", "QUIT"}));
}

// When the logout of the closing steps fails after an earlier failure, the
// caller gets the logout's failure: the last word of the server.
TEST_F(Deletion, FailingLogoutAfterAFailureIsPassedOn) {
  struct Fall {
    const char* name;
    bool scan;  // the failure comes in the scan, else in the pass
  } faelle[] = {{"scan: TOP refused", true}, {"pass: DELE refused", false}};
  for (const Fall& f : faelle) {
    SCOPED_TRACE(f.name);
    Script sc;
    if (f.scan) {
      Login(sc, 4);
      List(sc, msgs);
      Top(sc, 1, msgs[0]);
      sc.Exchange("TOP 2 0", "-ERR no such message\r\n");
    } else {
      sc = Start();
      Login(sc, 4);
      Pruefen(sc, 1, msgs[0]).Exchange("DELE 1", "-ERR locked\r\n");
    }
    sc.Exchange("QUIT", "-ERR quit failed\r\n").AwaitClose();
    ScriptedPeer peer(sc);
    Talk(peer);
    std::string failure;
    try {
      if (f.scan) {
        MailheaderLaden(s);
      } else {
        ScanAndCheck();
        MailheaderLoeschen(s);
      }
    } catch (const platform::Exception& e) {
      failure = e.Message();
    }
    EXPECT_EQ(failure, "-ERR quit failed\r\n");
    EXPECT_TRUE(s.veraltet);
    ExpectIdle();
    Finish(peer);
  }
}

// A batch run whose pass keeps a changed message logs how many after its
// count line, which still counts every mark.
TEST_F(Deletion, BatchRunLogsTheKeptMessagesAfterItsCount) {
  folder.Write("Kelvo_Spamdefs.txt", "[SUBJECT]\r\n* spam\r\n");
  Script sc = Start();
  Login(sc, 4);
  Pruefen(sc, 1, msgs[0]).Exchange("DELE 1", "+OK\r\n");
  Header(sc, 3, Mail("z", "anders", 30));
  Quit(sc);
  ScriptedPeer peer(sc);
  Talk(peer);
  EXPECT_EQ(Autodelete(s, true), 2);
  Finish(peer);
  const std::vector<std::string> log = platform::SplitLines(folder.Read("Kelvo_Log.txt"));
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].substr(log[0].size() - 7), " +++: 2");
  EXPECT_EQ(log[1], " +++: 1 markierte Mail(s) auf dem Server ge\xC3\xA4ndert, nicht gel\xC3\xB6scht");
  EXPECT_EQ(s.behalten, 1);
}

// The server commits the deletions at QUIT, answers, and resets the
// connection before the client has read the answer: the pass has succeeded.
TEST_F(Deletion, QuitAnsweredThenResetIsASuccess) {
  auto gate = std::make_shared<fixtures::Gate>();
  Script sc = Start();
  Login(sc, 4);
  Pruefen(sc, 1, msgs[0]).Exchange("DELE 1", "+OK\r\n");
  Pruefen(sc, 3, msgs[2]).Exchange("DELE 3", "+OK\r\n");
  sc.Expect("QUIT").AwaitGate(gate).Send("+OK bye\r\n").Reset();
  ScriptedPeer peer(sc);
  Talk(peer);
  ScanAndCheck();
  // The pump is held until it sees the answer and the reset together.
  struct AmEnde : tSessionObserver {
    std::shared_ptr<fixtures::Gate> gate;
    std::unique_ptr<fixtures::HangUpFirstSource> seam;
    void DeleteClosing(tMailboxMgmt&) override { seam = std::make_unique<fixtures::HangUpFirstSource>(gate); }
  } ende;
  ende.gate = gate;
  EXPECT_NO_THROW(MailheaderLoeschenSchritte(s, &ende));
  ASSERT_NE(ende.seam, nullptr);
  EXPECT_TRUE(ende.seam->HeldPollSawHangUp());
  ende.seam.reset();
  ExpectUnmarkedOnly();
  EXPECT_EQ(s.behalten, 0);
  Finish(peer);
  EXPECT_EQ(peer.Commands(), ScanCommands(4) + LoginCommands() +
                                 C({"TOP 1 0", "LIST 1", "DELE 1", "TOP 3 0", "LIST 3", "DELE 3", "QUIT"}));
}

TEST_F(Deletion, ChangedCountDoesNotMatterWithNothingMarked) {
  Script sc = Start();
  Login(sc, 7);
  Quit(sc);
  ScriptedPeer peer(sc);
  Talk(peer);
  MailheaderLaden(s);
  Rules("");
  Spamcheck(s);
  EXPECT_NO_THROW(MailheaderLoeschen(s));
  EXPECT_EQ(s.anzahl, 4);
  EXPECT_TRUE(s.veraltet);
  Finish(peer);
  EXPECT_EQ(peer.Commands(), ScanCommands(4) + LoginCommands() + C({"QUIT"}));
}

TEST_F(Conversation, ServerCountBeyondTheEntryLimitIsCut) {
  // The server claims 70000 messages and lists numbers beyond the list;
  // the first message fails, so the scan stops early.
  Script sc;
  Login(sc, 70000);
  sc.Exchange("LIST ", "+OK\r\n1 10\r\n65536 20\r\n70000 30\r\n.\r\n")
      .Exchange("TOP 1 0", "-ERR gone\r\n");
  Quit(sc);
  ScriptedPeer peer(sc);
  Talk(peer);
  EXPECT_THROW(MailheaderLaden(s), platform::Exception);
  EXPECT_EQ(s.anzahl, kMaxEintraege);
  EXPECT_EQ(s.summaries.size(), static_cast<size_t>(kMaxEintraege) + 1);
  EXPECT_EQ(s.summaries[1].groesse, 10);
  Finish(peer);
}

}  // namespace
