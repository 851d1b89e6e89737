// The progress points of scan, check and deletion pass, in order, as the
// window's versions rely on them: against a real POP3 server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "CoreTestSupport.h"
#include "platform/Component.h"
#include "platform/Exceptions.h"
#include "pop3client/Pop3Client.h"
#include "spamfilter/USpamfilter.h"
#include "tests/fixtures/DovecotServer.h"

namespace {

using fixtures::DovecotServer;

// Records each point with what the session and its client show there.
class Recorder : public tSessionObserver {
 public:
  std::vector<std::string> events;
  bool takeConnectFailure = false;
  std::string connectFailure;

  std::string State(tMailboxMgmt& s) {
    return std::string(s.busy ? "B" : "-") + (s.verbunden ? "V" : "-") + (s.pop3->Connected() ? "C" : "-") +
           " n=" + std::to_string(s.anzahl);
  }
  void Add(tMailboxMgmt& s, const std::string& what) { events.push_back(what + " " + State(s)); }

  void ScanConnecting(tMailboxMgmt& s) override { Add(s, "scan-connecting host=" + s.pop3->Host); }
  void ScanLoginLost(tMailboxMgmt& s) override { Add(s, "scan-login-lost"); }
  void ScanLoggedIn(tMailboxMgmt& s) override { Add(s, "scan-logged-in"); }
  void ScanListing(tMailboxMgmt& s) override { Add(s, "scan-listing slots=" + std::to_string(s.summaries.size())); }
  void ScanListed(tMailboxMgmt& s) override {
    Add(s, "scan-listed headers=" + std::to_string(s.headers.size()) + " size3=" +
               std::to_string(s.summaries[3].groesse > 0));
  }
  void ScanFetching(tMailboxMgmt& s, int32_t d, int32_t count) override {
    Add(s, "fetch " + std::to_string(d) + "/" + std::to_string(count));
  }
  void ScanEntryBuilt(tMailboxMgmt& s, int32_t j) override {
    Add(s, "entry " + std::to_string(j) + " nr=" + std::to_string(s.summaries[static_cast<size_t>(j)].nr));
  }
  void ScanClosing(tMailboxMgmt& s) override { Add(s, "scan-closing"); }
  void ScanClosed(tMailboxMgmt& s) override { Add(s, "scan-closed"); }
  void CheckStarting(tMailboxMgmt& s) override { Add(s, "check-starting"); }
  void CheckingEntry(tMailboxMgmt& s, int32_t i) override { Add(s, "checking " + std::to_string(i)); }
  void CheckedEntry(tMailboxMgmt& s, int32_t i) override {
    Add(s, "checked " + std::to_string(i) + " spam=" + std::to_string(s.summaries[static_cast<size_t>(i)].spam));
  }
  void CheckFinished(tMailboxMgmt& s) override { Add(s, "check-finished"); }
  void DeleteConnecting(tMailboxMgmt& s) override { Add(s, "delete-connecting"); }
  void DeleteLoggedIn(tMailboxMgmt& s) override { Add(s, "delete-logged-in"); }
  void Deleting(tMailboxMgmt& s, int32_t k, int32_t p) override {
    Add(s, "dele " + std::to_string(k) + " pos=" + std::to_string(p));
  }
  void DeleteClosing(tMailboxMgmt& s) override { Add(s, "delete-closing"); }
  void DeleteClosed(tMailboxMgmt& s, int32_t kept) override { Add(s, "delete-closed kept=" + std::to_string(kept)); }
  void DeleteCompacted(tMailboxMgmt& s) override {
    Add(s, "delete-compacted first=" + std::to_string(s.summaries[1].nr));
  }
  bool ConnectFailed(tMailboxMgmt& s, const std::exception& e) override {
    connectFailure = e.what();
    Add(s, "connect-failed");
    return takeConnectFailure;
  }
};

class ObserverTest : public ::testing::Test {
 protected:
  coretest::ProgramFolder folder;
  DovecotServer server;
  platform::TComponent owner{nullptr};
  tMailboxMgmt s;
  Recorder r;

  void SetUp() override {
    server.AddUser("anna", "pw");
    server.AddMessages("anna", fixtures::GenerateMessages(3, {"Hallo", "Lotto", "Servus"}, {}));
    server.Start();
    Init(s, &owner);
    s.pop3->Port = server.Port();
    tpop3list liste;
    ServerlisteUebernehmen(liste, coretest::Lines({"[MAILBOXEN]", "127.0.0.1 anna pw"}));
    ServerEinstellen(s, liste, 0);
    platform::TStringList rules;
    rules.SetText("[SUBJECT]\r\n* lotto\r\n");
    VirdefsUebernehmen(s, rules);
  }
};

TEST_F(ObserverTest, ScanCheckAndDeletionReportEveryPointInOrder) {
  MailheaderLadenSchritte(s, &r);
  SpamcheckSchritte(s, &r);
  MailheaderLoeschenSchritte(s, &r);
  const std::vector<std::string> expected = {
      "scan-connecting host=127.0.0.1 B-- n=0",
      "scan-logged-in BVC n=3",
      "scan-listing slots=1 BVC n=3",
      "scan-listed headers=4 size3=1 BVC n=3",
      "fetch 1/3 BVC n=3",
      "entry 1 nr=1 BVC n=3",
      "fetch 2/3 BVC n=3",
      "entry 2 nr=2 BVC n=3",
      "fetch 3/3 BVC n=3",
      "entry 3 nr=3 BVC n=3",
      "scan-closing BVC n=3",  // before QUIT
      "scan-closed B-- n=3",
      "check-starting B-- n=3",
      "checking 1 B-- n=3",
      "checked 1 spam=0 B-- n=3",
      "checking 2 B-- n=3",
      "checked 2 spam=1 B-- n=3",
      "checking 3 B-- n=3",
      "checked 3 spam=0 B-- n=3",
      "check-finished B-- n=3",
      "delete-connecting B-- n=3",
      "delete-logged-in BVC n=3",
      "dele 1 pos=2 BVC n=3",
      "delete-closing BVC n=3",
      "delete-closed kept=2 B-- n=3",  // logged out, not yet compacted
      "delete-compacted first=1 B-- n=2",
  };
  EXPECT_EQ(r.events, expected);
  EXPECT_FALSE(s.busy);
  EXPECT_TRUE(s.veraltet);
  EXPECT_EQ(server.Messages("anna").size(), 2u);
}

TEST_F(ObserverTest, ConnectFailureTakenByTheObserverEndsQuietly) {
  // A bound port that never listens refuses the connection.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  s.pop3->Port = ntohs(a.sin_port);

  r.takeConnectFailure = true;
  EXPECT_NO_THROW(MailheaderLadenSchritte(s, &r));
  EXPECT_EQ(r.events, (std::vector<std::string>{"scan-connecting host=127.0.0.1 B-- n=0", "connect-failed B-- n=0",
                                                "scan-closing B-- n=0", "scan-closed B-- n=0"}));
  EXPECT_FALSE(r.connectFailure.empty());
  EXPECT_TRUE(s.veraltet);
  EXPECT_FALSE(s.busy);

  // Not taken: the same failure passes on after the closing steps.
  r.takeConnectFailure = false;
  r.events.clear();
  EXPECT_THROW(MailheaderLadenSchritte(s, &r), platform::Exception);
  EXPECT_EQ(r.events.back(), "scan-closed B-- n=0");
  ::close(fd);
}

TEST_F(ObserverTest, ConnectFailureOfTheDeletionPassCompactsAll) {
  MailheaderLaden(s);
  Spamcheck(s);
  server.Stop();
  r.takeConnectFailure = true;
  EXPECT_NO_THROW(MailheaderLoeschenSchritte(s, &r));
  EXPECT_EQ(r.events, (std::vector<std::string>{"delete-connecting B-- n=3", "connect-failed B-- n=3",
                                                "delete-closing B-- n=3", "delete-closed kept=2 B-- n=3",
                                                "delete-compacted first=1 B-- n=2"}));
  EXPECT_EQ(s.summaries[2].nr, 3);
  EXPECT_TRUE(s.veraltet);
}

// A hook that fails ends the operation through its closing steps.
class FailingHook : public tSessionObserver {
 public:
  void ScanFetching(tMailboxMgmt&, int32_t d, int32_t) override {
    if (d == 2) throw platform::Exception("hook");
  }
};

TEST_F(ObserverTest, FailingHookEndsTheScanThroughItsClosingSteps) {
  FailingHook h;
  EXPECT_THROW(MailheaderLadenSchritte(s, &h), platform::Exception);
  EXPECT_FALSE(s.busy);
  EXPECT_FALSE(s.verbunden);
  EXPECT_TRUE(s.veraltet);
  EXPECT_FALSE(s.pop3->Connected());
  EXPECT_EQ(s.anzahl, 3);
  EXPECT_EQ(s.summaries[1].nr, 1);
}

// Calls that arrive while the scan waits on the server (a click, a timer
// tick) find the session busy.
class Intruder : public tSessionObserver {
 public:
  tpop3list other;
  std::string seen;
  void ScanFetching(tMailboxMgmt& s, int32_t d, int32_t) override {
    if (d != 2) return;
    ServerEinstellen(s, other, 0);
    ServerZuruecksetzen(s);
    MailheaderLaden(s);
    Spamcheck(s);
    s.veraltet = false;
    MailheaderLoeschen(s);
    s.veraltet = true;
    seen = s.konto.host + " " + std::to_string(s.aktuell) + " " + std::to_string(s.summaries[1].spam);
  }
};

TEST_F(ObserverTest, NestedCallsDuringAScanChangeNothing) {
  Intruder in;
  ServerlisteUebernehmen(in.other, coretest::Lines({"[MAILBOXEN]", "pop.anders.de x y"}));
  s.summaries.assign(2, tMailSummary{});
  s.summaries[1].spam = 1;
  MailheaderLadenSchritte(s, &in);
  EXPECT_EQ(in.seen, "127.0.0.1 0 1");
  EXPECT_EQ(s.anzahl, 3);
  EXPECT_FALSE(s.veraltet);
  EXPECT_EQ(server.Messages("anna").size(), 3u);
}

}  // namespace
