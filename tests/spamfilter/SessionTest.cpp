#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CoreTestSupport.h"
#include "platform/Component.h"
#include "platform/Exceptions.h"
#include "platform/TextFile.h"
#include "pop3client/Pop3Client.h"
#include "spamfilter/USpamfilter.h"

namespace {

using coretest::Lines;

class RecordingView : public tProtokollView {
 public:
  void AddLine(const std::string& zeile) override { lines.push_back(zeile); }
  std::vector<std::string> lines;
};

tpop3list TwoMailboxes() {
  tpop3list l;
  ServerlisteUebernehmen(l, Lines({"[MAILBOXEN]", "pop.a.de anna geheim", "pop.b.de bert passwort"}));
  return l;
}

class SessionTest : public ::testing::Test {
 protected:
  platform::TComponent owner{nullptr};
  tMailboxMgmt s;
  tpop3list liste = TwoMailboxes();
  void SetUp() override { Init(s, &owner); }
};

TEST_F(SessionTest, InitSetsUpTheClientAndANewSession) {
  ASSERT_NE(s.pop3, nullptr);
  EXPECT_EQ(s.pop3->Owner(), &owner);
  EXPECT_EQ(s.pop3->TimeOut, 10000);
  EXPECT_EQ(s.pop3->Port, 110);
  EXPECT_FALSE(s.pop3->DeleteOnRead);
  EXPECT_TRUE(static_cast<bool>(s.pop3->OnAuthenticationFailed));
  EXPECT_TRUE(static_cast<bool>(s.pop3->OnConnectionFailed));
  EXPECT_EQ(s.aktuell, -1);
  EXPECT_TRUE(s.veraltet);
  EXPECT_FALSE(s.busy);
  EXPECT_FALSE(s.verbunden);
  EXPECT_FALSE(s.abbruch);
  EXPECT_EQ(s.anzahl, 0);
  EXPECT_EQ(s.summaries.size(), 1u);
  EXPECT_EQ(s.virdefs.size(), 1u);
}

TEST(SessionInit, WithoutOwnerTheApplicationOwnsTheClient) {
  tMailboxMgmt s;
  Init(s, nullptr);
  EXPECT_EQ(s.pop3->Owner(), &platform::Application());
}

TEST_F(SessionTest, SelectionLifeCycle) {
  ServerEinstellen(s, liste, 1);
  EXPECT_EQ(s.aktuell, 1);
  EXPECT_EQ(s.konto.id, 1);
  EXPECT_EQ(s.konto.host, "pop.b.de");
  EXPECT_EQ(s.konto.user, "bert");
  EXPECT_EQ(s.konto.passwort, "passwort");
  EXPECT_TRUE(s.veraltet);

  // Selecting the same entry again makes a fresh session stale.
  s.veraltet = false;
  ServerEinstellen(s, liste, 1);
  EXPECT_TRUE(s.veraltet);

  // While busy neither selecting nor resetting does anything.
  s.busy = true;
  s.veraltet = false;
  ServerEinstellen(s, liste, 0);
  ServerZuruecksetzen(s);
  EXPECT_EQ(s.aktuell, 1);
  EXPECT_EQ(s.konto.host, "pop.b.de");
  EXPECT_FALSE(s.veraltet);
  s.busy = false;

  // Resetting keeps the account copy.
  ServerZuruecksetzen(s);
  EXPECT_EQ(s.aktuell, -1);
  EXPECT_TRUE(s.veraltet);
  EXPECT_EQ(s.konto.host, "pop.b.de");
}

TEST_F(SessionTest, IndexOutsideTheListDeselects) {
  ServerEinstellen(s, liste, 0);
  for (int32_t bad : {-1, 2, 1000}) {
    SCOPED_TRACE(bad);
    s.veraltet = false;
    ServerEinstellen(s, liste, bad);
    EXPECT_EQ(s.aktuell, -1);
    EXPECT_TRUE(s.veraltet);
    EXPECT_EQ(s.konto.host, "pop.a.de");
  }
  // A record whose count says more than its array holds.
  tpop3list kaputt = TwoMailboxes();
  kaputt.anzahl = 5;
  ServerEinstellen(s, kaputt, 3);
  EXPECT_EQ(s.aktuell, -1);
}

TEST_F(SessionTest, GroesseMerkenStoresByMessageNumberWithinTheSlots) {
  s.summaries.resize(5);
  GroesseMerken(s, 3, 512);
  EXPECT_EQ(s.summaries[3].groesse, 512);
  for (int32_t bad : {0, -1, 5, 70000}) GroesseMerken(s, bad, 99);
  EXPECT_EQ(s.summaries.size(), 5u);
  EXPECT_EQ(s.summaries[0].groesse, 0);
  EXPECT_EQ(s.summaries[4].groesse, 0);
}

TEST_F(SessionTest, RejectedLoginHandlerWritesOneLineAndAsksForARetry) {
  RecordingView view;
  protokollMemo = &view;
  ServerEinstellen(s, liste, 0);
  s.verbunden = true;
  bool handled = false;
  s.pop3->OnAuthenticationFailed(handled);  // as the client calls it
  protokollMemo = nullptr;
  EXPECT_TRUE(handled);
  EXPECT_FALSE(s.verbunden);
  EXPECT_EQ(view.lines, std::vector<std::string>{"pop.a.de +++ Authentication failed"});

  // Without a view the handler works all the same.
  s.verbunden = true;
  handled = false;
  AuthenticationFailed(s, handled);
  EXPECT_TRUE(handled);
  EXPECT_FALSE(s.verbunden);
}

TEST_F(SessionTest, ConnectionFailedHandlerClearsConnected) {
  s.verbunden = true;
  s.pop3->OnConnectionFailed(s.pop3);
  EXPECT_FALSE(s.verbunden);
}

TEST_F(SessionTest, DeletionIsRefusedWhileStaleOrBusy) {
  // New session: stale. A selected one: stale too. Nothing is sent; a
  // connection attempt would fail, as no server is configured.
  s.pop3->Host = "";
  MailheaderLoeschen(s);
  EXPECT_FALSE(s.busy);
  ServerEinstellen(s, liste, 0);
  MailheaderLoeschen(s);
  EXPECT_TRUE(s.veraltet);

  s.veraltet = false;
  s.busy = true;
  s.summaries.resize(2);
  s.summaries[1] = {1, 10, 1, "a", "b"};
  s.anzahl = 1;
  MailheaderLoeschen(s);
  MailheaderLaden(s);
  Spamcheck(s);
  EXPECT_EQ(s.anzahl, 1);
  EXPECT_EQ(s.summaries[1].spam, 1);
  EXPECT_TRUE(s.busy);
  EXPECT_FALSE(s.veraltet);
}

TEST_F(SessionTest, AutodeleteReturnsAtOnceWhileARunIsInProgress) {
  coretest::ProgramFolder folder;
  folder.Write("Kelvo_Spamdefs.txt", "[SUBJECT]\r\n* neu\r\n");
  ServerEinstellen(s, liste, 0);
  autodeleteAktiv = true;
  EXPECT_EQ(Autodelete(s, true), 0);
  EXPECT_TRUE(autodeleteAktiv);
  EXPECT_EQ(s.virdefs.size(), 1u);  // the definitions were not read
  EXPECT_FALSE(platform::FileExists(folder.File("Kelvo_Log.txt")));
  autodeleteAktiv = false;
}

TEST_F(SessionTest, AutodeleteFailureOfTheDefinitionsClearsTheGuard) {
  coretest::ProgramFolder folder;  // neither definitions file
  ServerEinstellen(s, liste, 0);
  s.pop3->Host = "";
  EXPECT_THROW(Autodelete(s, true), platform::EFOpenError);
  EXPECT_FALSE(autodeleteAktiv);
  EXPECT_TRUE(s.pop3->Host.empty());  // no scan was started
  folder.Write("Kelvo_Spamdefs.txt", "[SIZE]\r\nIN a..b\r\n");
  EXPECT_THROW(Autodelete(s, true), platform::EConvertError);
  EXPECT_FALSE(autodeleteAktiv);
  EXPECT_FALSE(platform::FileExists(folder.File("Kelvo_Log.txt")));
}

TEST_F(SessionTest, HeaderFeldTakesTheRestOfTheFirstLineStartingWithTheKey) {
  const platform::TStringList h = Lines({"", "Fr", "X-From: x@x.de", "from:erst@x.de", "FROM: zweit@x.de",
                                         "Subject:  Zwei Blanks", "Subject:"});
  struct Case {
    const char* key;
    const char* wert;
  } cases[] = {
      {"FROM:", "erst@x.de"},          // case of the line ignored, first match only, no prefix match
      {"from:", "erst@x.de"},          // case of the key ignored
      {"SUBJECT:", "  Zwei Blanks"},   // leading blanks kept
      {"Fr", ""},                      // a whole-line match leaves nothing
      {"To:", ""},                     // no line
      {"", ""},                        // an empty key matches nothing
      {"X-FROM: X@X.DE and more", ""}, // longer than every line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(HeaderFeld(s, h, c.key), c.wert);
  }
}

}  // namespace
