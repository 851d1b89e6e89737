// The filter core against a real POP3 server: what the server holds after a
// batch run, after failures, and after the mailbox changed between scan and
// deletion.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "CoreTestSupport.h"
#include "platform/Component.h"
#include "platform/Exceptions.h"
#include "pop3client/Pop3Client.h"
#include "spamfilter/USpamfilter.h"
#include "tests/fixtures/DovecotServer.h"
#include "tests/fixtures/MiniPop3Client.h"

namespace {

using fixtures::DovecotServer;
using fixtures::MakeMessage;
using fixtures::MessageSpec;

constexpr const char* kUser = "anna";
constexpr const char* kPassword = "anna-pw";

MessageSpec Mail(const std::string& from, const std::string& subject, size_t size = 0) {
  MessageSpec m;
  m.from = from;
  m.subject = subject;
  m.pop3Size = size;
  return m;
}

class DovecotEndToEnd : public ::testing::Test {
 protected:
  coretest::ProgramFolder folder;
  DovecotServer server;
  platform::TComponent owner{nullptr};
  tMailboxMgmt s;
  std::vector<std::string> good, spam;
  int number = 0;

  void SetUp() override {
    server.AddUser(kUser, kPassword);
    server.Start();
    Init(s, &owner);
    s.pop3->Port = server.Port();  // the core leaves the client's port alone
    tpop3list liste;
    ServerlisteUebernehmen(liste, coretest::Lines({"[MAILBOXEN]", DovecotServer::Host() + " " + kUser + " " + kPassword}));
    ServerEinstellen(s, liste, 0);
    folder.Write("Kelvo_Spamdefs.txt",
                 "[SUBJECT]\r\n* lotto\r\n[FROM]\r\n< spam@\r\n[SCRAMBLE-SUBJECT]\r\n* viagra\r\n"
                 "[SIZE]\r\nIN 20000..30000\r\n");
  }

  void AddGood(const MessageSpec& m) { Add(m, good); }
  void AddSpam(const MessageSpec& m) { Add(m, spam); }
  void Add(const MessageSpec& m, std::vector<std::string>& into) {
    std::string bytes = MakeMessage(m, ++number);
    into.push_back(bytes);
    all.push_back(bytes);
    server.AddMessage(kUser, bytes);
  }
  void Typical() {
    AddGood(Mail("Bob <bob@example.test>", "Treffen morgen"));
    AddSpam(Mail("Lotto <gewinn@lotto.test>", "Ihr LOTTO-Gewinn"));
    AddGood(Mail("Carla <carla@example.test>", "Rechnung"));
    AddSpam(Mail("spam@bulk.test", "Angebot"));
    AddSpam(Mail("X <x@y.test>", "V.i.a.g.r.a billig"));
    AddGood(Mail("Dora <dora@example.test>", "Fotos", 5000));
    AddSpam(Mail("Eve <eve@example.test>", "Anhang", 25000));
    AddGood(Mail("Fred <fred@example.test>", "Re: Lotterie"));
  }
  // What the server holds, looked at in a conversation of its own.
  size_t ServerCount() {
    fixtures::MiniPop3Client c;
    c.Connect(DovecotServer::Host(), server.Port());
    c.Login(kUser, kPassword);
    int n = c.StatCount();
    c.Quit();
    return static_cast<size_t>(n);
  }
  std::vector<std::string> LogLines() {
    if (!platform::FileExists(folder.File("Kelvo_Log.txt"))) return {};
    return platform::SplitLines(folder.Read("Kelvo_Log.txt"));
  }
  std::vector<std::string> all;
};

TEST_F(DovecotEndToEnd, AutodeleteLeavesExactlyTheGoodMessages) {
  Typical();
  EXPECT_EQ(Autodelete(s, true), 4);
  EXPECT_EQ(server.Messages(kUser), good);
  EXPECT_EQ(ServerCount(), good.size());
  std::vector<std::string> log = LogLines();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(std::regex_match(log[0], std::regex(R"(\d\d\.\d\d\.\d\d\d\d \d\d:\d\d:\d\d \+\+\+: 4)"))) << log[0];
  // The session keeps the unmarked entries, stale until the next scan.
  EXPECT_EQ(s.anzahl, good.size());
  EXPECT_TRUE(s.veraltet);
  EXPECT_FALSE(s.busy);
  EXPECT_FALSE(s.verbunden);
  EXPECT_FALSE(autodeleteAktiv);
  EXPECT_FALSE(s.pop3->Connected());

  // A second run finds nothing more; without protokoll no line is written.
  EXPECT_EQ(Autodelete(s, false), 0);
  EXPECT_EQ(server.Messages(kUser), good);
  EXPECT_EQ(LogLines().size(), 1u);
}

TEST_F(DovecotEndToEnd, ScanBuildsEntriesFromHeaders) {
  Typical();
  MailheaderLaden(s);
  ASSERT_EQ(s.anzahl, all.size());
  EXPECT_FALSE(s.veraltet);
  EXPECT_FALSE(s.busy);
  EXPECT_FALSE(s.pop3->Connected());
  for (size_t i = 1; i <= all.size(); ++i) {
    SCOPED_TRACE(i);
    const tMailSummary& e = s.summaries[i];
    EXPECT_EQ(e.nr, static_cast<int32_t>(i));
    EXPECT_EQ(static_cast<size_t>(e.groesse), fixtures::Pop3Size(all[i - 1]));
    // Sender and subject keep the blank after the colon.
    EXPECT_EQ(e.subject[0], ' ');
    EXPECT_NE(all[i - 1].find("Subject:" + e.subject + "\n"), std::string::npos) << e.subject;
    EXPECT_NE(all[i - 1].find("From:" + e.from + "\n"), std::string::npos) << e.from;
    EXPECT_GT(s.headers[i].Count(), 3);
  }
  VirdefsLesen(s);
  Spamcheck(s);
  EXPECT_EQ(SpamAnzahl(s), 4);
  EXPECT_EQ(s.summaries[2].spam, 1);
  EXPECT_EQ(s.summaries[8].spam, 0);  // "Lotterie" is no LOTTO
}

TEST_F(DovecotEndToEnd, EmptyMailboxAndMailboxWithoutSpam) {
  EXPECT_EQ(Autodelete(s, true), 0);
  EXPECT_EQ(s.anzahl, 0);
  AddGood(Mail("Bob <bob@example.test>", "Hallo"));
  AddGood(Mail("Carla <carla@example.test>", "Servus"));
  EXPECT_EQ(Autodelete(s, true), 0);
  EXPECT_EQ(server.Messages(kUser), good);
  std::vector<std::string> log = LogLines();
  ASSERT_EQ(log.size(), 2u);
  for (const auto& l : log) EXPECT_EQ(l.substr(l.size() - 7), " +++: 0");
}

TEST_F(DovecotEndToEnd, ChangedDefinitionsCountFromTheNextRun) {
  Typical();
  folder.Write("Kelvo_Spamdefs.txt", "[SUBJECT]\r\n< rechnung\r\n");
  EXPECT_EQ(Autodelete(s, true), 1);
  folder.Write("Kelvo_Spamdefs.txt", "[SUBJECT]\r\n* fotos\r\n");
  EXPECT_EQ(Autodelete(s, true), 1);
  std::vector<std::string> left = all;
  left.erase(left.begin() + 5);  // Fotos
  left.erase(left.begin() + 2);  // Rechnung
  EXPECT_EQ(server.Messages(kUser), left);
}

TEST_F(DovecotEndToEnd, FailuresLeaveTheMailboxUnchanged) {
  Typical();
  struct Case {
    const char* name;
    std::string host, user, password;
    int port;
  };
  // A port that nobody listens on: bound, never listening.
  int closedPort = 0;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    closedPort = ntohs(a.sin_port);
  }
  const Case cases[] = {
      {"empty user name", DovecotServer::Host(), "", kPassword, server.Port()},
      {"empty password", DovecotServer::Host(), kUser, "", server.Port()},
      {"connection refused", DovecotServer::Host(), kUser, kPassword, closedPort},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    s.konto = {0, c.host, c.user, c.password};
    s.pop3->Port = c.port;
    s.anzahl = 0;
    s.veraltet = false;
    EXPECT_THROW(Autodelete(s, true), platform::Exception);
    EXPECT_FALSE(autodeleteAktiv);
    EXPECT_TRUE(s.veraltet);
    EXPECT_FALSE(s.busy);
    EXPECT_FALSE(s.verbunden);
    EXPECT_EQ(s.anzahl, 0);
    EXPECT_TRUE(LogLines().empty());
  }
  ::close(fd);
  EXPECT_EQ(server.Messages(kUser), all);
}

// Between scan and pass another client deletes a marked message and new
// mail is delivered: the pass deletes exactly the marked messages that are
// still at their numbers, nothing else, and keeps the entry whose number
// now names another message.
TEST_F(DovecotEndToEnd, MailboxChangedBetweenScanAndDeletionDeletesOnlyWhatTheScanMarked) {
  Typical();
  VirdefsLesen(s);
  MailheaderLaden(s);
  Spamcheck(s);
  ASSERT_EQ(SpamAnzahl(s), 4);  // messages 2, 4, 5 and 7
  {
    fixtures::MiniPop3Client other;
    other.Connect(DovecotServer::Host(), server.Port());
    other.Login(kUser, kPassword);
    ASSERT_TRUE(fixtures::MiniPop3Client::IsOk(other.Dele(7)));  // the size spam; Fred moves up to 7
    other.Quit();
  }
  const std::string neu = MakeMessage(Mail("Gina <gina@example.test>", "Neu da"), ++number);
  server.AddMessage(kUser, neu);

  EXPECT_NO_THROW(MailheaderLoeschen(s));
  std::vector<std::string> left = good;
  left.push_back(neu);
  EXPECT_EQ(server.Messages(kUser), left);
  EXPECT_EQ(s.behalten, 1);
  // The unmarked entries and, marked, the one whose number moved on.
  ASSERT_EQ(s.anzahl, 5);
  const int32_t nr[] = {1, 3, 6, 7, 8};
  for (size_t i = 1; i <= 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(s.summaries[i].nr, nr[i - 1]);
    EXPECT_EQ(s.summaries[i].spam, nr[i - 1] == 7 ? 1 : 0);
  }
  EXPECT_FALSE(s.pop3->Connected());
  EXPECT_TRUE(s.veraltet);
  EXPECT_FALSE(s.busy);

  // The next run finds nothing more to delete.
  EXPECT_EQ(Autodelete(s, false), 0);
  EXPECT_EQ(server.Messages(kUser), left);
}

// The marked message and its neighbour have the same sender and subject;
// only the size rule tells them apart. Another client deletes the marked
// one, so the neighbour moves up to its number: the pass keeps it.
TEST_F(DovecotEndToEnd, NeighbourWithTheSameSenderAndSubjectIsNotDeletedInItsPlace) {
  AddGood(Mail("Bob <bob@example.test>", "Treffen morgen"));
  AddSpam(Mail("Eve <eve@example.test>", "Anhang", 25000));
  AddGood(Mail("Eve <eve@example.test>", "Anhang"));
  AddGood(Mail("Fred <fred@example.test>", "Re: Lotterie"));
  VirdefsLesen(s);
  MailheaderLaden(s);
  Spamcheck(s);
  ASSERT_EQ(SpamAnzahl(s), 1);
  ASSERT_EQ(s.summaries[2].spam, 1);
  ASSERT_EQ(s.summaries[3].from, s.summaries[2].from);
  ASSERT_EQ(s.summaries[3].subject, s.summaries[2].subject);
  {
    fixtures::MiniPop3Client other;
    other.Connect(DovecotServer::Host(), server.Port());
    other.Login(kUser, kPassword);
    ASSERT_TRUE(fixtures::MiniPop3Client::IsOk(other.Dele(2)));
    other.Quit();
  }

  EXPECT_NO_THROW(MailheaderLoeschen(s));
  EXPECT_EQ(server.Messages(kUser), good);
  EXPECT_EQ(s.behalten, 1);
  ASSERT_EQ(s.anzahl, 4);
  EXPECT_EQ(s.summaries[2].spam, 1);  // kept in the list, still marked
}

}  // namespace
