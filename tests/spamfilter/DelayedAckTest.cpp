// The header scan against a server that writes every multi-line reply in
// two pieces, its status line and then the rest, with Nagle's rule on: the
// rest leaves only once the client has acknowledged the first piece. A
// client that leaves that ACK to the kernel's delay timer waits some 40 ms
// per reply. Rather than time the scan, the test counts those timer ACKs:
// it runs in a private network namespace (netns-run), whose TcpExt
// DelayedACKs counter sees its own connections only.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CoreTestSupport.h"
#include "platform/Component.h"
#include "pop3client/Pop3Client.h"
#include "spamfilter/USpamfilter.h"
#include "tests/fixtures/MailboxPeer.h"
#include "tests/fixtures/MiniPop3Client.h"
#include "tests/fixtures/NetworkNamespace.h"

namespace {

// The listing and each message's TOP n 0 come in two pieces, so a client
// that lost its quick ACK gives one timer ACK per such reply (bar the few
// the kernel sends at once by itself). Noise adds timer ACKs too: one each
// time the peer's thread or the client is not scheduled for 40 ms between
// a packet and its answer (a busy machine), at the login, or at QUIT and
// the close. On a loaded machine that noise came to 0 or 1 per scan: a
// quarter of the split replies is far above it and far below what a lost
// quick ACK gives. The client that leaves its ACKs to the timer must give
// at least three quarters, or the server and the counter show nothing here.
constexpr int kMessages = 40;
constexpr uint64_t kSplitReplies = kMessages + 1;
constexpr uint64_t kFewTimerAcks = kSplitReplies / 4;
constexpr uint64_t kManyTimerAcks = kSplitReplies * 3 / 4;

std::vector<fixtures::ScriptMail> Mails() {
  std::vector<fixtures::ScriptMail> mails;
  for (int i = 1; i <= kMessages; ++i)
    mails.push_back({"From: sender" + std::to_string(i) + "@example.test\r\nSubject: Message " + std::to_string(i) +
                         "\r\nMessage-ID: <" + std::to_string(i) + "@example.test>\r\n",
                     1000 + i});
  return mails;
}

// How far `run` moves this namespace's delayed-ACK counter.
uint64_t TimerAcksDuring(const std::function<void()>& run) {
  const std::optional<uint64_t> before = fixtures::DelayedAcks();
  run();
  const std::optional<uint64_t> after = fixtures::DelayedAcks();
  if (!before || !after || *after < *before) {
    ADD_FAILURE() << "TcpExt DelayedACKs unreadable";
    return UINT64_MAX;
  }
  return *after - *before;
}

TEST(TwoPieceReplies, HeaderScanLeavesNoAckToTheDelayTimer) {
  if (!fixtures::InPrivateNetworkNamespace()) GTEST_SKIP() << "not inside a private network namespace";
  ASSERT_TRUE(fixtures::DelayedAcks())
      << "no TcpExt DelayedACKs in /proc/net/netstat: this test counts the kernel's delayed ACKs (Linux)";
  fixtures::MailboxPeer box(Mails());
  box.SplitReplies();

  // The server and the counter show a lost quick ACK: the minimal client
  // with the kernel's delayed ACKs, the same commands as the scan.
  const uint64_t delayed = TimerAcksDuring([&] {
    fixtures::MiniPop3Client c;
    c.Connect("127.0.0.1", box.Port());
    c.Login("anna", "pw");
    EXPECT_EQ(c.StatCount(), kMessages);
    c.ScanAsKelvorun(kMessages);
  });
  EXPECT_GE(delayed, kManyTimerAcks) << "the two-piece server does not wait for the client's ACKs here";

  // The filter core's scan over TPop3Client, as kelvorun and the window
  // run it: every wait for the rest of a reply asks for the ACK at once.
  coretest::ProgramFolder folder;
  platform::TComponent owner{nullptr};
  tMailboxMgmt s;
  Init(s, &owner);
  tpop3list liste;
  ServerlisteUebernehmen(liste, coretest::Lines({"[MAILBOXEN]", "127.0.0.1 anna pw"}));
  ServerEinstellen(s, liste, 0);
  s.pop3->Port = box.Port();
  const uint64_t scan = TimerAcksDuring([&] { MailheaderLaden(s); });
  EXPECT_EQ(s.anzahl, kMessages);
  EXPECT_EQ(box.Commands(2), box.Commands(1));  // so the two counts compare
  EXPECT_LE(scan, kFewTimerAcks) << "with " << delayed << " for the client that leaves its ACKs to the timer";
  EXPECT_TRUE(box.Failures().empty());
  // For the spread over many runs (--gtest_output=json shows them).
  RecordProperty("delayed_acks_scan", static_cast<int>(scan));
  RecordProperty("delayed_acks_minimal_delayed", static_cast<int>(delayed));
}

}  // namespace
