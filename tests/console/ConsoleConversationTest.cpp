// Code 3 of the console build: a login that returns with the session marked
// not connected, against scripted POP3 conversations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../spamfilter/CoreTestSupport.h"
#include "console/ConsoleSpamfilter.h"
#include "platform/Exceptions.h"
#include "pop3client/Pop3Client.h"
#include "tests/fixtures/ScriptedPeer.h"

namespace {

using fixtures::Script;
using fixtures::ScriptedPeer;
using Commands = std::vector<std::string>;
using namespace std::chrono_literals;

Script& AcceptedAtRetry(Script& s, int count) {
  return s.Send("+OK\r\n")
      .Exchange("USER anna", "+OK\r\n")
      .Exchange("PASS pw", "-ERR wrong\r\n")
      .Exchange("USER anna", "+OK\r\n")
      .Exchange("PASS pw", "+OK\r\n")
      .Exchange("STAT", "+OK " + std::to_string(count) + " 100\r\n")
      .Exchange("QUIT", "+OK\r\n")
      .AwaitClose();
}

class ConsoleConversation : public ::testing::Test {
 protected:
  coretest::ProgramFolder folder;
  platform::TComponent owner{nullptr};
  tMailboxMgmt s;
  tpop3list liste;

  void SetUp() override {
    Init(s, &owner);
    ServerlisteUebernehmen(liste, coretest::Lines({"[MAILBOXEN]", "127.0.0.1 anna pw"}));
    ServerEinstellen(s, liste, 0);
    s.summaries.assign(2, tMailSummary{});
    s.summaries[1] = {1, 10, 1, "alt", "alt"};
    s.anzahl = 1;
  }
};

TEST_F(ConsoleConversation, ScanLoginAcceptedAtTheRetryRecordsCode3) {
  Script sc;
  AcceptedAtRetry(sc, 5);
  ScriptedPeer peer(sc);
  s.pop3->Port = peer.Port();
  EXPECT_NO_THROW(MailheaderLaden(s));
  EXPECT_EQ(s.fehler, 3);
  EXPECT_EQ(s.fehlertext, "Konnte nicht verbinden");
  EXPECT_EQ(s.anzahl, 1);  // list and count untouched
  EXPECT_EQ(s.summaries.size(), 2u);
  EXPECT_EQ(s.summaries[1].subject, "alt");
  EXPECT_TRUE(s.veraltet);
  EXPECT_FALSE(s.busy);
  EXPECT_FALSE(s.pop3->Connected());
  ASSERT_TRUE(peer.WaitDone(5000ms));
  EXPECT_EQ(peer.Commands(), (Commands{"USER anna", "PASS pw", "USER anna", "PASS pw", "STAT", "QUIT"}));
}

TEST_F(ConsoleConversation, DeletionLoginAcceptedAtTheRetryRecordsNothing) {
  Script sc;
  AcceptedAtRetry(sc, 1);
  ScriptedPeer peer(sc);
  s.pop3->Port = peer.Port();
  // As the last scan left the client: the pass logs in with these.
  s.pop3->Host = "127.0.0.1";
  s.pop3->UserID = "anna";
  s.pop3->Password = "pw";
  s.veraltet = false;
  EXPECT_NO_THROW(MailheaderLoeschen(s));
  EXPECT_EQ(s.fehler, 0);
  EXPECT_EQ(s.anzahl, 0);  // the marked entry is dropped from the list all the same
  EXPECT_TRUE(s.veraltet);
  ASSERT_TRUE(peer.WaitDone(5000ms));
  EXPECT_EQ(peer.Commands(), (Commands{"USER anna", "PASS pw", "USER anna", "PASS pw", "STAT", "QUIT"}));
}

TEST_F(ConsoleConversation, OtherLoginFailuresPassOnWithoutACode) {
  ScriptedPeer peer(Script()
                        .Send("+OK\r\n")
                        .Exchange("USER anna", "+OK\r\n")
                        .Exchange("PASS pw", "-ERR\r\n")
                        .Exchange("USER anna", "+OK\r\n")
                        .Exchange("PASS pw", "-ERR\r\n")
                        .Exchange("QUIT", "+OK\r\n")
                        .AwaitClose());
  s.pop3->Port = peer.Port();
  try {
    MailheaderLaden(s);
    FAIL() << "no failure";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.Message(), "Authentication failed");
  }
  EXPECT_EQ(s.fehler, 0);

  s.pop3->Port = fixtures::UnusedPort();
  EXPECT_THROW(MailheaderLaden(s), platform::Exception);
  EXPECT_EQ(s.fehler, 0);
  EXPECT_EQ(s.anzahl, 1);
}

}  // namespace
