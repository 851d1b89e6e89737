#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Convert.h"
#include "platform/EventSource.h"
#include "platform/Messages.h"
#include "platform/Winsock.h"
#include "pop3client/SocketBase.h"
#include "tests/fixtures/CountingNew.h"
#include "tests/fixtures/CountingEventSource.h"
#include "tests/fixtures/ScriptedPeer.h"

using fixtures::FullBacklogListener;
using fixtures::Script;
using fixtures::ScriptedPeer;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// Bounds a loop that waits for something bound to happen, so a fault shows
// as a wrong outcome instead of a hang.
constexpr long long kStallLimitMs = 30000;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A component connected to the peer, with a generous time-out so that a
// broken test fails instead of hanging.
std::unique_ptr<TSocketBase> ConnectedTo(const ScriptedPeer& peer, int32_t timeOut = 5000) {
  auto sock = std::make_unique<TSocketBase>(nullptr);
  sock->Host = "127.0.0.1";
  sock->Port = peer.Port();
  sock->TimeOut = timeOut;
  sock->Connect();
  return sock;
}

template <typename E, typename F>
std::string FailureOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("wrong class: ") + e.what();
  }
  return "no failure";
}

}  // namespace

TEST(NthWord, Fields) {
  struct Case {
    std::string text;
    char sep;
    int k;
    std::string field;
  } cases[] = {
      {"+OK 5 512\r\n", ' ', 1, "+OK"},
      {"+OK 5 512\r\n", ' ', 2, "5"},
      {"+OK 5 512\r\n", ' ', 3, "512\r\n"},
      {"+OK 5 512\r\n", ' ', 4, ""},
      {"+OK  5", ' ', 2, ""},
      {"+OK  5", ' ', 3, "5"},
      {" +OK", ' ', 1, ""},
      {" +OK", ' ', 2, "+OK"},
      {"-ERR", ' ', 1, "-ERR"},
      {"", ' ', 1, ""},
      {"a b", ' ', 0, ""},
      {"a b", ' ', -1, ""},
      {"a:b:c", ':', 3, "c"},
      {"a b", ':', 1, "a b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NthWord(c.text, c.sep, c.k), c.field) << '"' << c.text << "\" k=" << c.k;
  }
}

TEST(SocketBaseErrorText, TableAndUnknownNumbers) {
  TSocketBase sock(nullptr);
  EXPECT_EQ(TSocketBase::SocketErrorTexts().size(), 50u);
  EXPECT_EQ(sock.ErrorText(0), "");
  EXPECT_EQ(sock.ErrorText(11001), "11001:Host not found");
  EXPECT_EQ(sock.ErrorText(10061), "10061:Connection refused");
  EXPECT_EQ(sock.ErrorText(10054), "10054:Connection reset by peer");
  EXPECT_EQ(sock.ErrorText(10065), "10065:No route to Host");
  EXPECT_EQ(sock.ErrorText(10100), "Unknown Error No. 10100");
  EXPECT_EQ(sock.ErrorText(12345), "Unknown Error No. 12345");
  // The whole table as users read it, written out here on its own.
  const std::vector<std::string> expected = {
      "10004:Interrupted system call", "10009:Bad file number", "10013:Permission denied",
      "10014:Bad address", "10022:Invalid argument", "10024:Too many open files",
      "10035:Operation would block", "10036:Operation now in progress", "10037:Operation already in progress",
      "10038:Socket operation on non-socket", "10039:Destination address required", "10040:Message too long",
      "10041:Wrong protocol type for socket", "10042:Bad protocol option", "10043:Protocol not supported",
      "10044:Socket type not supported", "10045:Operation not supported on socket",
      "10046:Protocol family not supported", "10047:Address family not supported by protocol family",
      "10048:Address already in use", "10049:Can't assign requested address", "10050:Network is down",
      "10051:Network is unreachable", "10052:Network dropped connection or reset",
      "10053:Software caused connection abort", "10054:Connection reset by peer",
      "10055:No buffer space available", "10056:Socket is already connected", "10057:Socket is not connected",
      "10058:Can't send after socket shutdown", "10059:Too many references, can't splice",
      "10060:Connection timed out", "10061:Connection refused", "10062:Too many levels of symbolic links",
      "10063:File name too long", "10064:Host is down", "10065:No route to Host", "10066:Directory not empty",
      "10067:Too many processes", "10068:Too many users", "10069:Disc quota exceeded",
      "10070:Stale NFS file handle", "10071:Too many levels of remote in path",
      "10091:Network subsystem is unavailable", "10092:Incompatible version of WINSOCK.DLL",
      "10093:Successful WSAStartup not yet performed", "11001:Host not found",
      "11002:Non-Authoritative Host not found", "11003:Non-Recoverable error: FORMERR, REFUSED, NOTIMP",
      "11004:Valid name, no data record of requested type"};
  ASSERT_EQ(expected.size(), 50u);
  for (const std::string& entry : expected) {
    int32_t n = platform::StrToInt(entry.substr(0, entry.find(':')));
    EXPECT_EQ(sock.ErrorText(n), entry);
  }
  // Each number has one row.
  std::vector<int32_t> seen;
  for (const auto& [n, text] : TSocketBase::SocketErrorTexts()) {
    EXPECT_EQ(std::count(seen.begin(), seen.end(), n), 0) << n;
    seen.push_back(n);
  }
}

TEST(SocketBaseErrorText, ErrnoMapsOntoTheTable) {
  struct Case {
    int err;
    int wsa;
  } cases[] = {
      {EWOULDBLOCK, 10035}, {EAGAIN, 10035},       {EINPROGRESS, 10035},   {ECONNREFUSED, 10061},
      {ECONNRESET, 10054},  {ENOTCONN, 10057},     {ETIMEDOUT, 10060},     {EHOSTUNREACH, 10065},
      {ENETUNREACH, 10051}, {EADDRNOTAVAIL, 10049}, {EALREADY, 10037},     {EISCONN, 10056},
      {EBADF, 10009},       {EINVAL, 10022},       {EMFILE, 10024},        {ENOTSOCK, 10038},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::MapErrno(c.err), c.wsa) << c.err;
  // An errno without a counterpart gets a number outside the table.
  TSocketBase sock(nullptr);
  EXPECT_EQ(sock.ErrorText(platform::MapErrno(ENOEXEC)).rfind("Unknown Error No. ", 0), 0u);
}

// What one ReadLn after another returns for what the peer sends.
TEST(SocketBaseReadLn, LinesAsTheyArrive) {
  struct Case {
    const char* name;
    Script script;
    std::vector<std::string> reads;
  };
  std::vector<Case> cases;
  cases.push_back({"three pieces", Script().SendPieces({"+O", "K he", "llo\r\n"}), {"+OK hello\r\n"}});
  cases.push_back({"two lines in one segment", Script().Send("one\r\ntwo\r\n"), {"one\r\n", "two\r\n"}});
  cases.push_back({"LF alone", Script().Send("bare\nnext\n"), {"bare\n", "next\n"}});
  cases.push_back({"line then close", Script().Send("last\r\n").Close(), {"last\r\n", "", ""}});
  cases.push_back({"close with a partial line", Script().Send("no end").Close(), {""}});
  cases.push_back({"CR inside a line", Script().Send("a\rb\r\n"), {"a\rb\r\n"}});
  cases.push_back({"empty line", Script().Send("\r\n\n"), {"\r\n", "\n"}});
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(std::move(c.script));
    auto sock = ConnectedTo(peer);
    for (const auto& expected : c.reads) EXPECT_EQ(sock->ReadLn(), expected);
    EXPECT_FALSE(sock->TimeOutTimer().Enabled());
  }
}

TEST(SocketBaseReadLn, SecondLineNeedsNoWait) {
  // Nothing comes after the two lines: a read that waited for the network
  // would end in the time-out instead of the line.
  auto silence = std::make_shared<fixtures::Gate>();
  ScriptedPeer peer(Script().Send("first\r\nsecond\r\n").AwaitGate(silence));
  auto sock = ConnectedTo(peer);
  EXPECT_EQ(sock->ReadLn(), "first\r\n");
  EXPECT_EQ(sock->ReadLn(), "second\r\n");
  EXPECT_FALSE(sock->TimedOut());
  silence->Open();
}

// Lines that have already arrived are read without allocating (a short
// line fits its text) and without arming the platform timer; the step's
// time-out flags and reports are the same as for a read that waits.
TEST(SocketBaseReadLn, ArrivedLinesCostNoAllocation) {
  ScriptedPeer peer(Script().Exchange("NOOP", "+OK a\r\n+OK b\r\n+OK c\r\n"));
  auto sock = ConnectedTo(peer, 10000);
  EXPECT_EQ(sock->Transaction("NOOP"), "+OK a\r\n");
  const uint32_t interval = sock->TimeOutTimer().Interval();
  sock->TimeOut = 20000;
  std::string line;
  const long before = fixtures::Allocations();
  sock->ReadLn(line);
  EXPECT_EQ(fixtures::Allocations(), before);
  EXPECT_EQ(line, "+OK b\r\n");
  EXPECT_EQ(sock->TimeOutTimer().Interval(), interval);  // the timer was not set up again
  std::vector<std::string> status;
  sock->ReportLevel = TSocketBase::kStatusStep;
  sock->OnStatus = [&](platform::TComponent*, const std::string& s) { status.push_back(s); };
  EXPECT_EQ(sock->ReadLn(), "+OK c\r\n");
  EXPECT_EQ(status, (std::vector<std::string>{"ReadLn", "Timer On", "Timer Off"}));
  EXPECT_FALSE(sock->TimeOutTimer().Enabled());
}

TEST(SocketBaseReadLn, LinesSeenOnAClosedSocketAreNotReadAgain) {
  // The first conversation leaves an unread line behind; the second must
  // start from its own bytes.
  ScriptedPeer peer(Script().Send("a\r\nleft over\r\n").AwaitClose().Accept().Send("c\r\n+OK more\r\n").AwaitClose());
  auto sock = ConnectedTo(peer);
  EXPECT_EQ(sock->ReadLn(), "a\r\n");
  sock->Disconnect();
  sock->Connect();
  EXPECT_EQ(sock->ReadLn(), "c\r\n");
  EXPECT_EQ(sock->ReadLn(), "+OK more\r\n");
  sock->Disconnect();
  EXPECT_TRUE(peer.WaitDone());
}

TEST(SocketBaseReadLn, LineLimit) {
  std::string longest(65535, 'x');
  longest += '\n';
  ScriptedPeer peer(Script().Send(longest).Send(std::string(65536, 'y') + "\n"));
  auto sock = ConnectedTo(peer);
  EXPECT_EQ(sock->ReadLn(), longest);
  EXPECT_EQ(FailureOf<platform::ERangeError>([&] { sock->ReadLn(); }), platform::RangeError().what());
  EXPECT_FALSE(sock->TimeOutTimer().Enabled());
  // The 65536 bytes it took are gone; the LF after them is still there.
  EXPECT_EQ(sock->ReadLn(), "\n");
}

TEST(SocketBaseReadLn, TimeOutAborts) {
  // The peer says nothing until the read has failed: only the time-out can
  // end it (a peer that gave up would close, a different failure).
  auto silence = std::make_shared<fixtures::Gate>();
  ScriptedPeer peer(Script().AwaitGate(silence));
  auto sock = ConnectedTo(peer, 100);
  auto start = Clock::now();
  EXPECT_EQ(FailureOf<EAbortError>([&] { sock->ReadLn(); }), "Socket readln aborted");
  silence->Open();
  EXPECT_GE(MsSince(start), 100);
  EXPECT_TRUE(sock->TimedOut());
  EXPECT_FALSE(sock->Canceled());  // cleared by the failing read
  EXPECT_FALSE(sock->TimeOutTimer().Enabled());
}

// A peer that resets right after accepting, before the client's first look
// at the socket: the connect has still succeeded, and the first read meets
// the reset (the suite met this one time in twenty under full load).
TEST(SocketBaseConnect, ResetRightAfterAcceptIsMetByTheFirstRead) {
  ScriptedPeer peer(Script().Reset());
  // Holds the connect's first wait until the peer's reset is out.
  class AfterThePeer : public platform::PollEventSource {
   public:
    explicit AfterThePeer(ScriptedPeer& peer) : peer_(peer) {}
    void Wait(std::vector<platform::WaitSocket>& s, std::optional<platform::Clock::time_point> d) override {
      if (!held_) {
        held_ = true;
        EXPECT_TRUE(peer_.WaitDone());
      }
      PollEventSource::Wait(s, d);
    }
    bool Held() const { return held_; }

   private:
    ScriptedPeer& peer_;
    bool held_ = false;
  } seam(peer);
  platform::SetEventSource(&seam);
  std::unique_ptr<TSocketBase> sock;
  const std::string connectFailure = FailureOf<ESockError>([&] { sock = ConnectedTo(peer); });
  const bool held = seam.Held();
  std::string readFailure = "no connection";
  if (sock) readFailure = FailureOf<ESockError>([&] { sock->ReadLn(); });
  platform::SetEventSource(nullptr);
  EXPECT_TRUE(held) << "the connect never waited, so the reset did not come first";
  EXPECT_EQ(connectFailure, "no failure");
  EXPECT_EQ(readFailure, "10054:Connection reset by peer");
}

// A close or a reset ends a read at once, whether the read's own peek or
// the close notice sees it first; the lines that came before either are read
// first, and the close or reset meets the read after the last of them. A
// pending cancel ends a read even when a whole line waits. The time-out is
// long, so a read that sleeps instead of ending shows as "Socket readln
// aborted". Cases with a gate hold the peer until the pump's notice poll
// runs, and make that poll see the bytes and the hang-up together before any
// read has seen the bytes.
TEST(SocketBaseReadLn, CloseResetAndCancelEndTheReadAtOnce) {
  const std::string kReset = "!10054:Connection reset by peer";
  const std::string kAborted = "!Socket readln aborted";
  const std::string kCancel = "(cancel)";  // not a read: Cancel() at this point
  const std::string longLine(10000, 'h');
  // The peer's steps after the gate, if the case has one.
  using Steps = std::function<Script(Script)>;
  struct Case {
    const char* name;
    bool pumpFirst;
    Steps peer;
    std::vector<std::string> steps;  // each read's line, or "!" and its failure
  };
  auto send = [](std::string bytes, bool reset) -> Steps {
    return [bytes, reset](Script s) { return reset ? s.Send(bytes).Reset() : s.Send(bytes).Close(); };
  };
  auto open = [](std::string bytes) -> Steps { return [bytes](Script s) { return s.Send(bytes); }; };
  std::vector<Case> cases = {
      {"partial line, close", false, send("+OK hal", false), {"", ""}},
      {"partial line, reset", false, send("Subject: hal", true), {kReset, kReset}},
      {"long line, close", false, send(longLine + "\r\n", false), {longLine + "\r\n", ""}},
      {"long partial line, close", false, send(longLine, false), {"", ""}},
      {"reply and close in one go, the pump first", true, send("+OK bye\r\n", false), {"+OK bye\r\n", ""}},
      {"reply and reset in one go, the pump first", true, send("+OK bye\r\n", true),
       {"+OK bye\r\n", kReset, kReset}},
      {"partial line and close, the pump first", true, send("+OK hal", false), {""}},
      {"partial line and reset, the pump first", true, send("x", true), {kReset}},
      {"cancel with a whole line waiting", false, open("a\r\nb\r\n"), {"a\r\n", kCancel, kAborted, "b\r\n"}},
      {"cancel before the first read", false, open("a\r\n"), {kCancel, kAborted, "a\r\n"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto gate = std::make_shared<fixtures::Gate>();
    ScriptedPeer peer(c.peer(c.pumpFirst ? Script().AwaitGate(gate) : Script()));
    auto sock = ConnectedTo(peer, 10000);
    std::unique_ptr<fixtures::HangUpFirstSource> seam;
    if (c.pumpFirst) seam = std::make_unique<fixtures::HangUpFirstSource>(gate);
    for (const std::string& step : c.steps) {
      if (step == kCancel) {
        sock->Cancel();
        continue;
      }
      std::string got;
      try {
        got = sock->ReadLn();
      } catch (const std::exception& e) {
        got = std::string("!") + e.what();
      }
      EXPECT_EQ(got, step);
      EXPECT_FALSE(sock->TimeOutTimer().Enabled());
      EXPECT_FALSE(sock->Canceled());
    }
    if (seam) {
      EXPECT_TRUE(seam->HeldPollSawHangUp());
    }
    EXPECT_FALSE(sock->TimedOut());
    peer.WaitDone();
    for (const auto& f : peer.Failures()) ADD_FAILURE() << "peer: " << f;
  }
}

// Both lines come in one segment, so the first read takes them out of the
// kernel into the layer's buffer. Then the peer resets, and a pump handles
// the reset's notice while the second line still waits in that buffer: the
// line is read all the same, and the read after it meets the reset.
TEST(SocketBaseReadLn, LineInTheBufferIsReadBeforeTheReset) {
  auto gate = std::make_shared<fixtures::Gate>();
  ScriptedPeer peer(Script().Send("+OK a\r\n+OK b\r\n").AwaitGate(gate).Reset());
  auto sock = ConnectedTo(peer, 10000);
  EXPECT_EQ(sock->ReadLn(), "+OK a\r\n");
  const int fd = platform::SocketDescriptor(sock->SocketHandle());
  // The kernel holds nothing; what waits is in the buffer.
  int inKernel = -1;
  ASSERT_EQ(::ioctl(fd, FIONREAD, &inKernel), 0);
  ASSERT_EQ(inKernel, 0);
  ASSERT_TRUE(sock->DataAvailable());
  gate->Open();
  ASSERT_TRUE(peer.WaitDone());
  // The pump below must find the reset: the kernel shows it first.
  pollfd p{fd, POLLRDHUP, 0};
  ASSERT_EQ(::poll(&p, 1, static_cast<int>(kStallLimitMs)), 1);
  platform::ProcessMessages();
  std::vector<std::string> reads;
  for (int i = 0; i < 3; ++i) {
    try {
      reads.push_back(sock->ReadLn());
    } catch (const std::exception& e) {
      reads.push_back(std::string("!") + e.what());
    }
  }
  EXPECT_EQ(reads, (std::vector<std::string>{"+OK b\r\n", "!10054:Connection reset by peer",
                                             "!10054:Connection reset by peer"}));
  EXPECT_FALSE(sock->TimedOut());
  EXPECT_FALSE(sock->TimeOutTimer().Enabled());
}

TEST(SocketBaseSend, SendLimits) {
  ScriptedPeer peer{Script()};
  auto sock = ConnectedTo(peer);
  sock->SendLine(std::string(65533, 'a'));
  EXPECT_EQ(FailureOf<platform::ERangeError>([&] { sock->SendLine(std::string(65534, 'b')); }),
            platform::RangeError().what());
  EXPECT_EQ(FailureOf<platform::ERangeError>([&] { sock->SendText(std::string(70000, 'c')); }),
            platform::RangeError().what());
  EXPECT_FALSE(sock->TimeOutTimer().Enabled());
  sock->SendText(std::string("up to\0here", 10));
  // The peer records what arrives after its (empty) script.
  const auto start = Clock::now();
  while (peer.Received().size() < 65535 + 5 && MsSince(start) < kStallLimitMs) std::this_thread::sleep_for(10ms);
  std::string got = peer.Received();
  ASSERT_EQ(got.size(), 65535u + 5u);
  EXPECT_EQ(got.substr(0, 65535), std::string(65533, 'a') + "\r\n");
  EXPECT_EQ(got.substr(65535), "up to");
}

// The client's send queue fills while the peer reads nothing: the send
// waits and goes on once the peer reads, and every byte arrives in order. A
// peer that takes nothing for a whole TimeOut ends the send instead.
TEST(SocketBaseSend, FullSendQueue) {
  static constexpr size_t kLines = 16;  // a megabyte: far more than both socket buffers hold
  static constexpr int kSmallSendBuffer = 8192;
  auto command = [](size_t i) { return std::string(65533, static_cast<char>('a' + i)); };
  auto shrink = [](TSocketBase& sock) {
    const int fd = platform::SocketDescriptor(sock.SocketHandle());
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSmallSendBuffer, sizeof kSmallSendBuffer);
    return fd;
  };
  {
    auto gate = std::make_shared<fixtures::Gate>();
    ScriptedPeer peer(Script().AwaitGate(gate).ReadLines(static_cast<int>(kLines)));
    auto sock = ConnectedTo(peer, 10000);
    const int fd = shrink(*sock);
    // The peer starts reading only once the client's queue is full.
    std::thread watcher([fd, gate] {
      pollfd p{fd, POLLOUT, 0};
      while (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT)) std::this_thread::sleep_for(1ms);
      gate->Open();
    });
    for (size_t i = 0; i < kLines; ++i) sock->SendLine(command(i));
    watcher.join();
    ASSERT_TRUE(peer.WaitDone());
    const std::vector<std::string> lines = peer.Lines();
    ASSERT_EQ(lines.size(), kLines);
    for (size_t i = 0; i < kLines; ++i) EXPECT_TRUE(lines[i] == command(i) + "\r\n") << "line " << i;
    EXPECT_FALSE(sock->TimeOutTimer().Enabled());
  }
  {
    auto gate = std::make_shared<fixtures::Gate>();
    ScriptedPeer peer(Script().AwaitGate(gate));
    auto sock = ConnectedTo(peer, 100);
    shrink(*sock);
    std::string failure = "no failure";
    for (size_t i = 0; i < kLines && failure == "no failure"; ++i) {
      failure = FailureOf<EAbortError>([&] { sock->SendLine(command(i)); });
    }
    EXPECT_EQ(failure, "Socket send aborted");
    EXPECT_FALSE(sock->TimeOutTimer().Enabled());
    gate->Open();
  }
}

TEST(SocketBaseSend, CancelPendingSendsNothing) {
  ScriptedPeer peer(Script().ReadLine());
  auto sock = ConnectedTo(peer);
  sock->Cancel();
  EXPECT_EQ(FailureOf<EAbortError>([&] { sock->SendLine("NOT SENT"); }), "Socket send aborted");
  EXPECT_FALSE(sock->Canceled());
  sock->SendLine("SENT");
  peer.WaitDone();
  EXPECT_EQ(peer.Commands(), std::vector<std::string>{"SENT"});
}

TEST(SocketBaseTransaction, CommandAndReply) {
  ScriptedPeer peer(Script().Exchange("NOOP", "+OK fine\r\n").Exchange("X", "-ERR\n"));
  auto sock = ConnectedTo(peer);
  std::vector<std::string> status;
  sock->ReportLevel = TSocketBase::kStatusResult;
  sock->OnStatus = [&](platform::TComponent*, const std::string& s) { status.push_back(s); };
  EXPECT_EQ(sock->Transaction("NOOP"), "+OK fine\r\n");
  std::string reply;
  sock->Transaction("X", reply);
  EXPECT_EQ(reply, "-ERR\n");
  // Only the level-1 reports reach a handler at level 1: the reply lines.
  EXPECT_EQ(status, (std::vector<std::string>{"+OK fine\r\n", "-ERR\n"}));
  EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
}

TEST(SocketBaseConnect, AlreadyConnected) {
  ScriptedPeer peer(Script().Send("still here\r\n"));
  auto sock = ConnectedTo(peer);
  bool failedEvent = false;
  sock->OnConnectionFailed = [&](platform::TObject*) { failedEvent = true; };
  EXPECT_EQ(FailureOf<ESockError>([&] { sock->Connect(); }), "Already connected");
  EXPECT_TRUE(sock->Connected());
  EXPECT_FALSE(failedEvent);
  EXPECT_EQ(sock->ReadLn(), "still here\r\n");
  ASSERT_TRUE(peer.WaitDone());
  EXPECT_EQ(peer.Conversations(), 1);
  EXPECT_EQ(peer.Received(), "");
}

TEST(SocketBaseConnect, RefusedThenTimedOutThenFine) {
  TSocketBase sock(nullptr);
  sock.Host = "127.0.0.1";
  sock.TimeOut = 100;
  std::vector<std::string> events;
  sock.OnConnectionFailed = [&](platform::TObject* s) {
    EXPECT_EQ(s, &sock);
    events.push_back("failed");
  };
  sock.OnConnect = [&](platform::TObject*) { events.push_back("connect"); };

  sock.Port = fixtures::UnusedPort();
  EXPECT_EQ(FailureOf<ESockError>([&] { sock.Connect(); }), "Connection Failed");
  EXPECT_EQ(events, std::vector<std::string>{"failed"});
  EXPECT_FALSE(sock.NoticeOk());

  {
    FullBacklogListener silent;
    sock.Port = silent.Port();
    auto start = Clock::now();
    EXPECT_EQ(FailureOf<ESockError>([&] { sock.Connect(); }), "Connection Timed out");
    EXPECT_GE(MsSince(start), 100);
    EXPECT_TRUE(sock.TimedOut());  // by its own time-out, long before the system's
    EXPECT_EQ(events, (std::vector<std::string>{"failed", "failed"}));
    EXPECT_FALSE(sock.TimeOutTimer().Enabled());
  }

  // Every connect starts afresh: the failed ones left nothing behind.
  ScriptedPeer peer(Script().Send("hi\r\n"));
  sock.Port = peer.Port();
  sock.TimeOut = 5000;
  sock.Connect();
  EXPECT_TRUE(sock.Connected());
  EXPECT_EQ(events, (std::vector<std::string>{"failed", "failed", "connect"}));
  EXPECT_EQ(sock.ReadLn(), "hi\r\n");
}

// Without any network even the loopback connect fails at once inside the
// kernel; it must take the same road as a refusal: OnConnectionFailed, then
// "Connection Failed". A name fails as a name that cannot be resolved:
// "Null Remote Address", after one lookup and no connect event.
TEST(SocketBaseConnect, WithoutNetwork) {
  struct Case {
    const char* name;
    std::string host;
    std::string failure;
    std::vector<std::string> events;
  } cases[] = {
      {"loopback unreachable", "127.0.0.1", "Connection Failed", {"failed"}},
      {"second connect on the fresh socket", "127.0.0.1", "Connection Failed", {"failed"}},
      {"name that cannot be resolved", "no-such-host.invalid", "Null Remote Address", {"invalid host"}},
  };
  bool ran = fixtures::RunWithoutNetwork([&] {
    TSocketBase sock(nullptr);
    sock.Port = 110;
    sock.TimeOut = 10000;
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      std::vector<std::string> events;
      sock.OnConnectionFailed = [&](platform::TObject* sender) {
        EXPECT_EQ(sender, &sock);
        events.push_back("failed");
      };
      sock.OnInvalidHost = [&](bool&) { events.push_back("invalid host"); };
      sock.Host = c.host;
      EXPECT_EQ(FailureOf<ESockError>([&] { sock.Connect(); }), c.failure);
      EXPECT_EQ(events, c.events);
      EXPECT_FALSE(sock.Connected());
      EXPECT_FALSE(sock.TimedOut());
      EXPECT_FALSE(sock.TimeOutTimer().Enabled());
    }
  });
  if (!ran) GTEST_SKIP() << "no network namespace (needs root)";
}

namespace {

// A hidden window whose message runs a test's action inside the next pump.
struct PumpAction {
  PumpAction() {
    static bool registered = false;
    if (!registered) {
      platform::WNDCLASSA cls{};
      cls.lpfnWndProc = [](platform::HWND, platform::UINT msg, platform::WPARAM, platform::LPARAM) -> platform::LRESULT {
        if (msg == kRun && Current()) Current()();
        return 0;
      };
      cls.lpszClassName = "PumpActionClass";
      registered = platform::RegisterClassA(&cls) != 0;
    }
    window = platform::CreateWindowExA(0, "PumpActionClass", "", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
  }
  ~PumpAction() {
    platform::DestroyWindow(window);
    Current() = nullptr;
  }
  // Queues the action; the first pump of the next wait runs it.
  void Post(std::function<void()> action) {
    Current() = std::move(action);
    platform::PostMessageA(window, kRun, 0, 0);
  }
  static std::function<void()>& Current() {
    static std::function<void()> action;
    return action;
  }
  static constexpr platform::UINT kRun = platform::WM_USER + 11;
  platform::HWND window = 0;
};

}  // namespace

// The lookup wait ends by the time-out or a cancel even when the answer
// comes in the same pump: those outcomes come first. The action queued
// before the connect runs in the lookup's first pump; it waits there until
// the answer is queued behind it, so that pump takes the answer too.
TEST(SocketBaseHost, LookupTimedOutAndCanceled) {
  struct Case {
    const char* name;
    int32_t timeOut;
    std::function<void(TSocketBase&)> inFirstPump;
    std::string failure;
  } cases[] = {
      // Waiting until the time-out timer is due makes it fire in that same
      // pump, after the answer (posted messages come before timers).
      {"timed out", 10,
       [](TSocketBase&) {
         std::vector<platform::WaitSocket> sockets;
         std::optional<platform::Clock::time_point> due;
         platform::PendingWaitSet(sockets, due);
         ASSERT_TRUE(due.has_value());
         std::this_thread::sleep_until(*due);
       },
       "Host Lookup Timed Out"},
      {"canceled", 10000, [](TSocketBase& sock) { sock.Cancel(); }, "Host Lookup Canceled"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSocketBase sock(nullptr);
    sock.Host = "localhost";
    sock.Port = fixtures::UnusedPort();
    sock.TimeOut = c.timeOut;
    std::vector<std::string> events;
    sock.OnConnectionFailed = [&](platform::TObject*) { events.push_back("failed"); };
    sock.OnInvalidHost = [&](bool&) { events.push_back("invalid host"); };
    sock.OnHostResolved = [&](platform::TComponent*) { events.push_back("resolved"); };
    fixtures::CountingEventSource source;
    bool answerQueued = false;
    PumpAction action;
    action.Post([&] {
      // The lookup's worker posts its answer from its own thread, which
      // wakes the source.
      answerQueued = source.AwaitWake([] { return platform::QueuedMessageCount() > 0; },
                                      std::chrono::milliseconds(kStallLimitMs));
      c.inFirstPump(sock);
    });
    platform::SetEventSource(&source);
    EXPECT_EQ(FailureOf<ESockError>([&] { sock.Connect(); }), c.failure);
    platform::SetEventSource(nullptr);
    EXPECT_TRUE(answerQueued);
    // The answer was taken in that pump, not left for a later one.
    EXPECT_EQ(platform::QueuedMessageCount(), 0);
    EXPECT_TRUE(events.empty()) << events.front();
    EXPECT_TRUE(sock.Canceled());  // the lookup wait leaves it set
    EXPECT_FALSE(sock.TimeOutTimer().Enabled());
    EXPECT_EQ(sock.RemoteAddress(), 0u);
  }
}

// The peer accepts and closes at once; the seam holds the pump's notice
// poll until the close has come, so the connect notice and the close are
// handled in one pump. The connect succeeds all the same (a stall would end
// as "Connection Timed out"), and the first read meets the close at once.
TEST(SocketBaseConnect, PeerClosesRightAfterAccepting) {
  auto gate = std::make_shared<fixtures::Gate>();
  ScriptedPeer peer(Script().AwaitGate(gate).Close());
  TSocketBase sock(nullptr);
  sock.Host = "127.0.0.1";
  sock.Port = peer.Port();
  sock.TimeOut = 10000;
  std::vector<std::string> events;
  sock.OnConnect = [&](platform::TObject*) { events.push_back("connect"); };
  sock.OnDisconnect = [&](platform::TObject*) { events.push_back("disconnect"); };
  sock.OnConnectionFailed = [&](platform::TObject*) { events.push_back("failed"); };
  fixtures::HangUpFirstSource seam(gate);
  EXPECT_EQ(FailureOf<ESockError>([&] { sock.Connect(); }), "no failure");
  EXPECT_EQ(sock.ReadLn(), "");
  EXPECT_EQ(events, (std::vector<std::string>{"connect", "disconnect"}));
  EXPECT_FALSE(sock.TimedOut());
  EXPECT_TRUE(seam.HeldPollSawHangUp());
}

TEST(SocketBaseConnect, CancelFromAHandlerDuringTheWait) {
  FullBacklogListener silent;
  TSocketBase sock(nullptr);
  sock.Host = "127.0.0.1";
  sock.Port = silent.Port();
  sock.TimeOut = 0;  // no limit: only the cancel ends the wait
  // A message handled by the wait's pumping cancels it.
  static TSocketBase* target = nullptr;
  target = &sock;
  platform::WNDCLASSA cls{};
  cls.lpfnWndProc = [](platform::HWND, platform::UINT msg, platform::WPARAM, platform::LPARAM) -> platform::LRESULT {
    if (msg == platform::WM_USER + 7) target->Cancel();
    return 0;
  };
  cls.lpszClassName = "CancelTestClass";
  platform::RegisterClassA(&cls);
  platform::HWND w = platform::CreateWindowExA(0, "CancelTestClass", "", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
  ASSERT_NE(w, 0u);
  platform::PostMessageA(w, platform::WM_USER + 7, 0, 0);
  EXPECT_EQ(FailureOf<ESockError>([&] { sock.Connect(); }), "Connection Canceled");
  platform::DestroyWindow(w);
}

TEST(SocketBaseHost, AddressesAndNames) {
  TSocketBase sock(nullptr);
  int resolved = 0;
  sock.OnHostResolved = [&](platform::TComponent*) { ++resolved; };
  std::string lastStatus;
  sock.ReportLevel = TSocketBase::kStatusStep;
  sock.OnStatus = [&](platform::TComponent*, const std::string& text) { lastStatus = text; };

  sock.Host = "10.1.2.3";
  sock.ResolveHost();
  EXPECT_EQ(sock.RemoteAddress(), platform::htonl(0x0a010203));
  EXPECT_EQ(resolved, 0);
  EXPECT_EQ(lastStatus, "Resolve Host");  // no timer was armed

  sock.Host = "localhost";
  sock.TimeOut = 5000;
  sock.ResolveHost();
  EXPECT_EQ(sock.RemoteAddress(), platform::htonl(0x7f000001));
  EXPECT_EQ(resolved, 1);

  // The all-ones address is the parser's failure value: it goes through a
  // lookup, which gives it back.
  sock.Host = "255.255.255.255";
  sock.ResolveHost();
  EXPECT_EQ(sock.RemoteAddress(), 0xffffffffu);
  EXPECT_EQ(resolved, 2);
}

TEST(SocketBaseHost, NullAddressAndTheRetryHandler) {
  ScriptedPeer peer(Script().Send("+OK\r\n"));
  TSocketBase sock(nullptr);
  sock.Port = peer.Port();
  sock.TimeOut = 5000;
  sock.Host = "0.0.0.0";
  EXPECT_EQ(FailureOf<ESockError>([&] { sock.Connect(); }), "Null Remote Address");

  int asked = 0;
  sock.OnInvalidHost = [&](bool& handled) {
    ++asked;
    handled = false;
  };
  EXPECT_EQ(FailureOf<ESockError>([&] { sock.Connect(); }), "Null Remote Address");
  EXPECT_EQ(asked, 1);

  // A handler that mends the host gets one more lookup.
  asked = 0;
  sock.OnInvalidHost = [&](bool& handled) {
    ++asked;
    sock.Host = "127.0.0.1";
    handled = true;
  };
  sock.Host = "0.0.0.0";
  sock.Connect();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(sock.ReadLn(), "+OK\r\n");

  // A handler that sets Handled but mends nothing is asked only once.
  sock.Disconnect();
  asked = 0;
  sock.OnInvalidHost = [&](bool& handled) {
    ++asked;
    handled = true;
  };
  sock.Host = "0.0.0.0";
  EXPECT_EQ(FailureOf<ESockError>([&] { sock.Connect(); }), "Null Remote Address");
  EXPECT_EQ(asked, 1);
}

TEST(SocketBaseClose, DisconnectTwiceMakesAFreshSocketEachTime) {
  ScriptedPeer peer(Script().AwaitClose());
  auto sock = ConnectedTo(peer);
  int disconnects = 0;
  sock->OnDisconnect = [&](platform::TObject*) { ++disconnects; };
  uint16_t first = sock->SocketHandle();
  sock->Disconnect();
  uint16_t second = sock->SocketHandle();
  sock->Disconnect();
  EXPECT_EQ(disconnects, 2);
  EXPECT_FALSE(sock->Connected());
  EXPECT_NE(first, second);
  EXPECT_NE(second, sock->SocketHandle());
  EXPECT_NE(sock->SocketHandle(), TSocketBase::kNoSocket);
}

TEST(SocketBaseClose, FirstConversationResetsLaterOnesCloseInOrder) {
  ScriptedPeer peer(Script().AwaitClose().Accept().AwaitClose().Accept().AwaitClose());
  TSocketBase sock(nullptr);
  sock.Host = "127.0.0.1";
  sock.Port = peer.Port();
  sock.TimeOut = 5000;
  for (int i = 0; i < 3; ++i) {
    sock.Connect();
    sock.Disconnect();
  }
  ASSERT_TRUE(peer.WaitDone());
  EXPECT_EQ(peer.ClientCloses(), (std::vector<std::string>{"reset", "closed", "closed"}));
}

TEST(SocketBaseClose, PeerCloseNotice) {
  // Nothing left to read: the notice closes and replaces the socket.
  {
    ScriptedPeer peer(Script().Close());
    TSocketBase sock(nullptr);
    sock.Host = "127.0.0.1";
    sock.Port = peer.Port();
    sock.TimeOut = 10000;
    // The close may already be handled inside the connect's wait.
    int disconnects = 0;
    sock.OnDisconnect = [&](platform::TObject*) { ++disconnects; };
    const uint16_t before = sock.SocketHandle();
    sock.Connect();
    peer.WaitDone();
    for (int i = 0; i < 200 && sock.Connected(); ++i) {
      platform::WaitForSocketActivity(sock.SocketHandle(), 10);
      platform::ProcessMessages();
    }
    EXPECT_FALSE(sock.Connected());
    EXPECT_EQ(disconnects, 1);
    EXPECT_NE(sock.SocketHandle(), before);
    // A read on the replaced socket is the end of the stream.
    EXPECT_EQ(sock.ReadLn(), "");
  }
  // Bytes still waiting: the notice changes nothing; the line is read, then
  // the end of the stream.
  {
    ScriptedPeer peer(Script().Send("kept\r\n").Close());
    auto sock = ConnectedTo(peer);
    peer.WaitDone();
    // The peek takes the line out of the kernel into the layer's buffer:
    // the close notice must still count it as waiting.
    EXPECT_TRUE(sock->DataAvailable());
    auto start = Clock::now();
    while (MsSince(start) < 200) {
      platform::WaitForSocketActivity(sock->SocketHandle(), 10);
      platform::ProcessMessages();
    }
    EXPECT_TRUE(sock->Connected());
    EXPECT_EQ(sock->ReadLn(), "kept\r\n");
    EXPECT_EQ(sock->ReadLn(), "");
  }
}

TEST(SocketBaseNotices, LateAndForeignNoticesChangeNothing) {
  ScriptedPeer peer(Script().AwaitClose());
  auto sock = ConnectedTo(peer);
  int disconnects = 0;
  sock->OnDisconnect = [&](platform::TObject*) { ++disconnects; };
  platform::WPARAM stale = sock->SocketHandle() + 1;
  // A close notice of some other socket.
  platform::PostMessageA(sock->NoticeWindow(), WM_SOCKET_NOTICE, stale, platform::FD_CLOSE);
  // A connect notice with an error for some other socket.
  platform::PostMessageA(sock->NoticeWindow(), WM_SOCKET_NOTICE, stale,
                         platform::FD_CONNECT | (10061 << 16));
  // A lookup answer nobody asked for.
  platform::PostMessageA(sock->NoticeWindow(), WM_LOOKUP_ANSWER, 999, 11001 << 16);
  platform::ProcessMessages();
  EXPECT_TRUE(sock->Connected());
  EXPECT_TRUE(sock->NoticeOk());
  EXPECT_EQ(disconnects, 0);
  EXPECT_FALSE(sock->WaitDone());

  // Messages above the two are answered and change only NoticeOk.
  platform::PostMessageA(sock->NoticeWindow(), WM_LOOKUP_ANSWER + 5, 0, 1 << 16);
  platform::ProcessMessages();
  EXPECT_FALSE(sock->NoticeOk());
  EXPECT_TRUE(sock->Connected());
}

TEST(SocketBaseCheckConnected, HandlerCases) {
  TSocketBase sock(nullptr);
  EXPECT_EQ(FailureOf<platform::Exception>([&] { sock.CheckConnected(); }), "Not Connected");

  int asked = 0;
  sock.OnConnectionRequired = [&](bool& handled) {
    ++asked;
    handled = true;  // but connects nothing
  };
  EXPECT_EQ(FailureOf<platform::Exception>([&] { sock.CheckConnected(); }), "Not Connected");
  EXPECT_EQ(asked, 1);

  ScriptedPeer peer(Script().AwaitClose());
  sock.Host = "127.0.0.1";
  sock.Port = peer.Port();
  sock.TimeOut = 5000;
  sock.OnConnectionRequired = [&](bool& handled) {
    sock.Connect();
    handled = true;
  };
  sock.CheckConnected();
  EXPECT_TRUE(sock.Connected());

  sock.Disconnect();
  sock.OnConnectionRequired = [&](bool& handled) { handled = false; };
  EXPECT_EQ(FailureOf<platform::Exception>([&] { sock.CheckConnected(); }), "Not Connected");
}

TEST(SocketBaseLife, StartupCountAndQuietDestruction) {
  ASSERT_EQ(TSocketBase::StartupCount(), 0);
  ScriptedPeer peer(Script().AwaitClose());
  int disconnects = 0;
  {
    auto a = ConnectedTo(peer);
    a->OnDisconnect = [&](platform::TObject*) { ++disconnects; };
    TSocketBase b(nullptr);
    EXPECT_EQ(TSocketBase::StartupCount(), 2);
    EXPECT_EQ(platform::WSAStartupCount(), 1);
  }
  EXPECT_EQ(disconnects, 0);
  EXPECT_EQ(TSocketBase::StartupCount(), 0);
  EXPECT_EQ(platform::WSAStartupCount(), 0);
  ASSERT_TRUE(peer.WaitDone());
  EXPECT_EQ(peer.ClientCloses(), std::vector<std::string>{"reset"});
  TSocketBase c(nullptr);
  EXPECT_EQ(platform::WSAStartupCount(), 1);
}

TEST(SocketBaseLife, OwnerFreesTheComponent) {
  auto* owner = new platform::TComponent(nullptr);
  auto* sock = new TSocketBase(owner);
  const platform::HWND notices = sock->NoticeWindow();
  const platform::HWND ticks = sock->TimeOutTimer().Window();
  EXPECT_TRUE(platform::IsWindow(notices));
  EXPECT_TRUE(platform::IsWindow(ticks));
  EXPECT_EQ(TSocketBase::StartupCount(), 1);
  delete owner;
  // The component and its timer are gone with their windows and socket.
  EXPECT_FALSE(platform::IsWindow(notices));
  EXPECT_FALSE(platform::IsWindow(ticks));
  EXPECT_EQ(TSocketBase::StartupCount(), 0);
  EXPECT_EQ(platform::WSAStartupCount(), 0);
}

TEST(SocketBaseTimer, ArmingRules) {
  TSocketBase sock(nullptr);
  sock.TimeOut = 0;
  sock.TimerOn();
  EXPECT_TRUE(sock.TimeOutTimer().Enabled());
  EXPECT_EQ(sock.TimeOutTimer().Interval(), 0u);
  sock.TimerOff();
  sock.TimeOut = -1;
  EXPECT_EQ(FailureOf<platform::ERangeError>([&] { sock.TimerOn(); }), platform::RangeError().what());
  sock.TimerOff();

  // An armed timer fires once, sets the flags and cancels.
  sock.TimeOut = 20;
  sock.TimerOn();
  auto start = Clock::now();
  while (!sock.TimedOut() && MsSince(start) < kStallLimitMs) {
    platform::WaitForSocketActivity(platform::INVALID_SOCKET, -1);
    platform::ProcessMessages();
  }
  EXPECT_GE(MsSince(start), 20);
  EXPECT_TRUE(sock.TimedOut());
  EXPECT_TRUE(sock.WaitDone());
  EXPECT_TRUE(sock.Canceled());
  EXPECT_FALSE(sock.TimeOutTimer().Enabled());

  // One turned off never fires, however long the queue runs past its time,
  // also after it was started again and again (each wait of a step starts it).
  EXPECT_THROW(sock.SendText("x"), EAbortError);  // takes the cancel; nothing is sent
  ASSERT_FALSE(sock.Canceled());
  for (int i = 0; i < 3; ++i) sock.TimerOn();
  sock.TimerOff();
  start = Clock::now();
  while (MsSince(start) < 3 * 20) {
    platform::WaitForSocketActivity(platform::INVALID_SOCKET, 20);
    platform::ProcessMessages();
  }
  EXPECT_FALSE(sock.TimedOut());
  EXPECT_FALSE(sock.Canceled());
}

// A handler run by the outer read's pumping does a whole exchange on a
// second component that takes longer than the outer TimeOut; the outer read
// fails by its time-out as soon as control comes back to it.
TEST(SocketBaseNested, OuterStepStillTimesOut) {
  // Neither peer says anything it is not asked for; the inner one answers
  // only after the outer time-out has passed.
  auto silence = std::make_shared<fixtures::Gate>();
  ScriptedPeer outerPeer(Script().AwaitGate(silence));
  ScriptedPeer innerPeer(Script().Expect("INNER").Pause(400ms).Send("+OK inner\r\n").AwaitGate(silence));
  auto outer = ConnectedTo(outerPeer, 100);
  auto inner = ConnectedTo(innerPeer, 5000);
  fixtures::CountingEventSource source;
  platform::SetEventSource(&source);

  static TSocketBase* innerSock = nullptr;
  static std::string innerReply;
  static fixtures::CountingEventSource* counted = nullptr;
  static int waitsAtInnerDone = -1;
  innerSock = inner.get();
  counted = &source;
  platform::WNDCLASSA cls{};
  cls.lpfnWndProc = [](platform::HWND, platform::UINT msg, platform::WPARAM, platform::LPARAM) -> platform::LRESULT {
    if (msg == platform::WM_USER + 9) {
      innerReply = innerSock->Transaction("INNER");
      waitsAtInnerDone = counted->waits;
    }
    return 0;
  };
  cls.lpszClassName = "NestedTestClass";
  platform::RegisterClassA(&cls);
  platform::HWND w = platform::CreateWindowExA(0, "NestedTestClass", "", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
  platform::PostMessageA(w, platform::WM_USER + 9, 0, 0);

  auto start = Clock::now();
  EXPECT_EQ(FailureOf<EAbortError>([&] { outer->ReadLn(); }), "Socket readln aborted");
  auto failedAfter = MsSince(start);
  platform::SetEventSource(nullptr);
  silence->Open();
  EXPECT_EQ(innerReply, "+OK inner\r\n");
  EXPECT_GE(failedAfter, 400);
  // It failed as soon as the nested work returned, without waiting again.
  EXPECT_EQ(source.waits, waitsAtInnerDone);
  EXPECT_TRUE(outer->TimedOut());
  EXPECT_TRUE(inner->Connected());
  platform::DestroyWindow(w);
}

TEST(SocketBaseStatus, ReportsUpToTheLevel) {
  ScriptedPeer peer(Script().Exchange("NOOP", "+OK\r\n"));
  auto sock = ConnectedTo(peer);
  std::vector<std::string> status;
  sock->OnStatus = [&](platform::TComponent* sender, const std::string& s) {
    EXPECT_EQ(sender, sock.get());
    status.push_back(s);
  };
  sock->ReportLevel = TSocketBase::kStatusStep;
  sock->Transaction("NOOP");
  EXPECT_EQ(status, (std::vector<std::string>{"Transaction", "Writeln", "Write", "Sending Buffer", "Timer On",
                                              "Timer Off", "ReadLn", "Timer On", "Timer Off", "+OK\r\n"}));
  status.clear();
  sock->ReportLevel = TSocketBase::kStatusTransfer;
  sock->Disconnect();
  EXPECT_EQ(status, std::vector<std::string>{"Request Close Socket"});
  // A handler that fails changes nothing for the caller.
  sock->ReportLevel = TSocketBase::kStatusStep;
  sock->OnStatus = [](platform::TComponent*, const std::string&) { throw std::runtime_error("x"); };
  EXPECT_NO_THROW(sock->Cancel());
  EXPECT_TRUE(sock->Canceled());
}
