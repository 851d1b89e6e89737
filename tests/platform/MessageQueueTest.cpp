// The message queue, window timers, the event source seam and the socket
// notices of the platform layer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Component.h"
#include "platform/EventSource.h"
#include "platform/Messages.h"
#include "platform/ScopeExit.h"
#include "platform/Winsock.h"
#include "tests/fixtures/CountingEventSource.h"
#include "tests/fixtures/CountingNew.h"
#include "tests/fixtures/ScriptedPeer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Every message a test window receives.
std::vector<platform::MSG> g_got;

platform::LRESULT RecordingProc(platform::HWND h, platform::UINT m, platform::WPARAM w, platform::LPARAM l) {
  g_got.push_back(platform::MSG{h, m, w, l});
  return 0;
}

class Queue : public ::testing::Test {
 protected:
  void SetUp() override {
    g_got.clear();
    platform::WNDCLASSA cls{};
    cls.lpfnWndProc = RecordingProc;
    cls.lpszClassName = "QueueTestClass";
    cls.hInstance = platform::HInstance();
    platform::WNDCLASSA known;
    if (!platform::GetClassInfoA(platform::HInstance(), cls.lpszClassName, &known)) {
      ASSERT_NE(platform::RegisterClassA(&cls), 0);
    }
    window = platform::CreateWindowExA(0, "QueueTestClass", "", 0, 0, 0, 0, 0, 0, 0, platform::HInstance(), nullptr);
    ASSERT_NE(window, 0u);
    platform::ProcessMessages();  // nothing left over from earlier tests
    g_got.clear();
  }
  void TearDown() override { platform::DestroyWindow(window); }

  // Pumps until pred holds or the time is up (a stall guard, not a bound).
  template <typename P>
  bool PumpUntil(P pred, std::chrono::milliseconds limit = 30000ms) {
    auto start = Clock::now();
    while (!pred()) {
      if (Clock::now() - start > limit) return false;
      platform::WaitForWork({}, 10ms);
      platform::ProcessMessages();
    }
    return true;
  }

  int Count(platform::UINT msg) const {
    int n = 0;
    for (const auto& m : g_got) n += m.message == msg;
    return n;
  }

  platform::HWND window = 0;
};

}  // namespace

TEST_F(Queue, WindowsClassesAndStorage) {
  platform::WNDCLASSA cls{};
  cls.lpfnWndProc = RecordingProc;
  cls.lpszClassName = "QueueTestClass";
  cls.hInstance = platform::HInstance();
  EXPECT_EQ(platform::RegisterClassA(&cls), 0);  // already registered
  EXPECT_EQ(platform::CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, 0, 0, 0, nullptr), 0u);
  EXPECT_EQ(platform::GetWindowLongPtrA(window, platform::GWL_USERDATA_SLOT), 0);
  int object = 0;
  platform::SetWindowLongPtrA(window, platform::GWL_USERDATA_SLOT, reinterpret_cast<platform::LONG_PTR>(&object));
  EXPECT_EQ(platform::GetWindowLongPtrA(window, platform::GWL_USERDATA_SLOT),
            reinterpret_cast<platform::LONG_PTR>(&object));
  EXPECT_TRUE(platform::IsWindow(window));
}

TEST_F(Queue, PumpDispatchesWhatWaitsInOrderAndReturns) {
  for (int i = 0; i < 3; ++i) platform::PostMessageA(window, platform::WM_USER + i, i, -i);
  EXPECT_EQ(platform::QueuedMessageCount(), 3);
  EXPECT_TRUE(g_got.empty());  // nothing runs until the queue is pumped
  platform::ProcessMessages();
  ASSERT_EQ(g_got.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(g_got[i].message, platform::WM_USER + i);
    EXPECT_EQ(g_got[i].wParam, static_cast<platform::WPARAM>(i));
    EXPECT_EQ(g_got[i].lParam, -i);
  }
  EXPECT_EQ(platform::QueuedMessageCount(), 0);
  EXPECT_FALSE(platform::PostMessageA(12345678, platform::WM_USER, 0, 0));
}

// What was queued or armed for a window goes with it: the queue holds
// nothing more to take, not even a tick that has come due.
TEST_F(Queue, DestroyedWindowGetsNothing) {
  platform::PostMessageA(window, platform::WM_USER, 0, 0);
  platform::SetTimer(window, 1, 1, nullptr);
  platform::DestroyWindow(window);
  EXPECT_EQ(platform::QueuedMessageCount(), 0);
  std::this_thread::sleep_for(5ms);  // past the timer's period
  platform::MSG left{};
  EXPECT_FALSE(platform::PeekMessageA(&left)) << "message " << left.message;
  platform::ProcessMessages();
  EXPECT_TRUE(g_got.empty());
  EXPECT_FALSE(platform::PostMessageA(window, platform::WM_USER, 0, 0));
  EXPECT_EQ(platform::SetTimer(window, 1, 10, nullptr), 0u);
}

TEST_F(Queue, QuitIsNotedNotDispatched) {
  platform::Application().Terminated = false;
  platform::PostQuitMessage(0);
  platform::PostMessageA(window, platform::WM_USER, 0, 0);
  platform::ProcessMessages();
  EXPECT_TRUE(platform::Application().Terminated);
  EXPECT_EQ(g_got.size(), 1u);
  EXPECT_EQ(Count(platform::WM_QUIT), 0);
  platform::Application().Terminated = false;
}

TEST_F(Queue, TimersFireNeverEarlyOnlyWhenPumpedOncePerPump) {
  // Pumping before the period has passed delivers nothing (a period no
  // test run comes near).
  ASSERT_EQ(platform::SetTimer(window, 8, 600000, nullptr), 8u);
  platform::ProcessMessages();
  EXPECT_EQ(Count(platform::WM_TIMER), 0);
  EXPECT_TRUE(platform::KillTimer(window, 8));

  // Pumped from the start, the first tick comes one period after SetTimer,
  // not at the first pump.
  auto start = Clock::now();
  ASSERT_EQ(platform::SetTimer(window, 7, 30, nullptr), 7u);
  ASSERT_TRUE(PumpUntil([&] { return Count(platform::WM_TIMER) == 1; }));
  EXPECT_GE(MsSince(start), 30);
  EXPECT_EQ(g_got[0].wParam, 7u);

  // Not pumped: nothing is delivered, however long it waits.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Count(platform::WM_TIMER), 1);
  // One pump, one tick, though several periods have passed.
  platform::ProcessMessages();
  ASSERT_EQ(Count(platform::WM_TIMER), 2);
  EXPECT_EQ(g_got[1].wParam, 7u);

  // A blocking wait ends when the next tick is due, not before: the pump
  // right after it has that tick to deliver.
  platform::WaitForWork({}, std::nullopt);
  platform::ProcessMessages();
  EXPECT_EQ(Count(platform::WM_TIMER), 3);

  EXPECT_TRUE(platform::KillTimer(window, 7));
  EXPECT_FALSE(platform::KillTimer(window, 7));
  std::this_thread::sleep_for(50ms);
  platform::ProcessMessages();
  EXPECT_EQ(Count(platform::WM_TIMER), 3);
}

TEST_F(Queue, PostFromAnotherThreadWakesAWait) {
  fixtures::CountingEventSource source;
  platform::SetEventSource(&source);
  // The post comes once the wait has begun, so only a wake can end it
  // before its far deadline.
  std::thread poster([&] {
    source.AwaitWait();
    platform::PostMessageA(window, platform::WM_USER + 3, 0, 0);
  });
  constexpr auto kFarDeadline = 60s;
  const auto deadline = Clock::now() + kFarDeadline;
  platform::WaitForWork({}, kFarDeadline);
  const bool woken = Clock::now() < deadline;
  poster.join();
  platform::SetEventSource(nullptr);
  EXPECT_TRUE(woken) << "the wait ran to its deadline";
  platform::ProcessMessages();
  EXPECT_EQ(Count(platform::WM_USER + 3), 1);
}

TEST_F(Queue, EventSourceSeam) {
  fixtures::CountingEventSource source;
  platform::SetEventSource(&source);
  platform::PostMessageA(window, platform::WM_USER, 0, 0);
  EXPECT_EQ(source.wakes, 1);
  platform::ProcessMessages();
  EXPECT_EQ(source.foreign, 1);  // foreign events get their turn in every pump
  EXPECT_EQ(source.resets, 1);   // the wake of the post is used up by it
  EXPECT_EQ(g_got.size(), 1u);

  // A wait with nothing to do blocks in the source once, for its whole span.
  auto start = Clock::now();
  platform::WaitForWork({}, 100ms);
  EXPECT_GE(MsSince(start), 99);
  EXPECT_EQ(source.waits, 1);
  platform::SetEventSource(nullptr);
  EXPECT_EQ(&platform::CurrentEventSource() == &source, false);
}

// Id 0 asks for a fresh id: the timer lives under the id handed out, so
// that id kills it, and a second request gets another one.
TEST_F(Queue, TimerIdZeroGetsAFreshId) {
  const platform::UINT_PTR first = platform::SetTimer(window, 0, 1, nullptr);
  const platform::UINT_PTR second = platform::SetTimer(window, 0, 1, nullptr);
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  EXPECT_NE(first, second);
  EXPECT_TRUE(platform::KillTimer(window, first));
  EXPECT_FALSE(platform::KillTimer(window, 0));  // nothing is kept under 0
  ASSERT_TRUE(PumpUntil([&] { return Count(platform::WM_TIMER) >= 1; }));
  for (const auto& m : g_got) {
    if (m.message == platform::WM_TIMER) {
      EXPECT_EQ(m.wParam, second);
    }
  }
  EXPECT_TRUE(platform::KillTimer(window, second));
}

namespace {

// Counts the wakes that reach it, from whichever thread.
class WakeCounter : public platform::PollEventSource {
 public:
  void Wake() override {
    ++wakes;
    PollEventSource::Wake();
  }
  std::atomic<int> wakes{0};
};

}  // namespace

// Sources are installed and removed while another thread posts (as a host
// lookup does when it answers): once a source is removed, no wake reaches
// it any more, so it may be freed at once.
TEST_F(Queue, EventSourceHandOverWhileAnotherThreadPosts) {
  constexpr int kPosts = 20000;
  std::atomic<bool> posterDone{false};
  std::thread poster([&] {
    for (int i = 0; i < kPosts; ++i) platform::PostMessageA(window, platform::WM_USER + 4, 0, 0);
    posterDone = true;
  });
  std::vector<std::unique_ptr<WakeCounter>> removed;
  std::vector<int> wakesAtRemoval;
  while (!posterDone) {
    removed.push_back(std::make_unique<WakeCounter>());
    platform::SetEventSource(removed.back().get());
    platform::ProcessMessages();
    platform::SetEventSource(nullptr);
    wakesAtRemoval.push_back(removed.back()->wakes.load());
  }
  poster.join();
  platform::ProcessMessages();
  EXPECT_EQ(Count(platform::WM_USER + 4), kPosts);
  for (size_t i = 0; i < removed.size(); ++i) EXPECT_EQ(removed[i]->wakes.load(), wakesAtRemoval[i]) << i;
}

// ---------------------------------------------------------------- sockets

namespace {

int ListenLoopback(uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd, 4);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

class Notices : public Queue {
 protected:
  void SetUp() override {
    Queue::SetUp();
    platform::WSADATA data;
    platform::WSAStartup(0x0101, &data);
    listener = ListenLoopback(port);
    sock = platform::socket(2, 1, 0);
    ASSERT_NE(sock, platform::INVALID_SOCKET);
    ASSERT_EQ(platform::WSAAsyncSelect(sock, window, kMsg, 0x3d), 0);
  }
  void TearDown() override {
    if (sock != platform::INVALID_SOCKET) platform::closesocket(sock);
    if (peer >= 0) ::close(peer);
    ::close(listener);
    platform::WSACleanup();
    Queue::TearDown();
  }
  void ConnectTo(uint16_t p) {
    platform::SOCKADDR_IN a;
    a.sin_family = 2;
    a.sin_port = htons(p);
    a.sin_addr.s_addr = platform::inet_addr("127.0.0.1");
    int r = platform::connect(sock, reinterpret_cast<platform::SOCKADDR*>(&a), sizeof a);
    if (r != 0) {
      EXPECT_EQ(platform::WSAGetLastError(), platform::WSAEWOULDBLOCK);
    }
  }
  void Accept() { peer = ::accept(listener, nullptr, nullptr); }
  // Notices received so far as (event, error).
  std::vector<std::pair<int, int>> Events() const {
    std::vector<std::pair<int, int>> out;
    for (const auto& m : g_got) {
      if (m.message == kMsg) {
        EXPECT_EQ(m.wParam, sock);
        out.emplace_back(m.lParam & 0xffff, (m.lParam >> 16) & 0xffff);
      }
    }
    return out;
  }
  static constexpr platform::UINT kMsg = platform::WM_USER + 101;
  uint16_t port = 0;
  int listener = -1;
  int peer = -1;
  platform::SOCKET sock = platform::INVALID_SOCKET;
};

using Ev = std::vector<std::pair<int, int>>;

}  // namespace

TEST_F(Notices, ConnectReadOnceThenClose) {
  ConnectTo(port);
  ASSERT_TRUE(PumpUntil([&] { return !Events().empty(); }));
  EXPECT_EQ(Events(), (Ev{{platform::FD_CONNECT, 0}}));
  Accept();
  ::send(peer, "abc", 3, 0);
  ASSERT_TRUE(PumpUntil([&] { return Events().size() == 2; }));
  EXPECT_EQ(Events().back(), std::make_pair(static_cast<int>(platform::FD_READ), 0));

  // Unread bytes do not make the wait return again and again.
  auto start = Clock::now();
  platform::WaitForWork({}, 100ms);
  platform::ProcessMessages();
  EXPECT_GE(MsSince(start), 99);
  EXPECT_EQ(Events().size(), 2u);

  // The next receive re-arms the notice; bytes still waiting bring it again.
  char buf[8];
  EXPECT_EQ(platform::recv(sock, buf, 1, platform::MSG_PEEK), 1);
  ASSERT_TRUE(PumpUntil([&] { return Events().size() == 3; }));
  EXPECT_EQ(platform::recv(sock, buf, sizeof buf, 0), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_EQ(platform::recv(sock, buf, sizeof buf, 0), platform::SOCKET_ERROR);
  EXPECT_EQ(platform::WSAGetLastError(), platform::WSAEWOULDBLOCK);

  ::close(peer);
  peer = -1;
  ASSERT_TRUE(PumpUntil([&] { return Events().back().first == platform::FD_CLOSE; }));
  EXPECT_EQ(Events().back().second, 0);
  EXPECT_EQ(platform::recv(sock, buf, sizeof buf, 0), 0);
  // Reported once; the closed stream keeps nothing spinning.
  size_t n = Events().size();
  start = Clock::now();
  platform::WaitForWork({}, 100ms);
  platform::ProcessMessages();
  EXPECT_GE(MsSince(start), 99);
  EXPECT_EQ(Events().size(), n);
}

TEST_F(Notices, ResetAndRefusal) {
  ConnectTo(port);
  Accept();
  ASSERT_TRUE(PumpUntil([&] { return !Events().empty(); }));
  linger l{1, 0};
  setsockopt(peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(peer);
  peer = -1;
  ASSERT_TRUE(PumpUntil([&] { return Events().back().first == platform::FD_CLOSE; }));
  EXPECT_EQ(Events().back().second, platform::WSAECONNRESET);
  char buf[4];
  EXPECT_EQ(platform::recv(sock, buf, sizeof buf, 0), platform::SOCKET_ERROR);
  EXPECT_EQ(platform::WSAGetLastError(), platform::WSAECONNRESET);
  platform::closesocket(sock);

  // Refused: the connect notice carries the error; the call itself does not.
  g_got.clear();
  sock = platform::socket(2, 1, 0);
  platform::WSAAsyncSelect(sock, window, kMsg, 0x3d);
  ::close(listener);
  listener = ListenLoopback(port);
  uint16_t closedPort = port;
  ::close(listener);
  listener = ListenLoopback(port);
  ConnectTo(closedPort);
  ASSERT_TRUE(PumpUntil([&] { return !Events().empty(); }));
  EXPECT_EQ(Events(), (Ev{{platform::FD_CONNECT, platform::WSAECONNREFUSED}}));
}

TEST_F(Notices, ClosedSocketsLeaveNoNotices) {
  ConnectTo(port);
  Accept();
  // Waits without dispatching until the connect notice is queued.
  const auto limit = Clock::now() + 10s;
  while (platform::QueuedMessageCount() == 0 && Clock::now() < limit) platform::WaitForWork({}, 10ms);
  ASSERT_GE(platform::QueuedMessageCount(), 1);
  // Looked up last before its close: the layer must not keep finding it.
  uint32_t waiting = 0;
  EXPECT_EQ(platform::ioctlsocket(sock, platform::FIONREAD, &waiting), 0);
  platform::closesocket(sock);
  platform::SOCKET closed = sock;
  sock = platform::INVALID_SOCKET;
  char byte = 0;
  EXPECT_EQ(platform::recv(closed, &byte, 1, 0), platform::SOCKET_ERROR);
  EXPECT_EQ(platform::WSAGetLastError(), platform::WSAENOTSOCK);
  EXPECT_EQ(platform::send(closed, "x", 1, 0), platform::SOCKET_ERROR);
  EXPECT_EQ(platform::WSAGetLastError(), platform::WSAENOTSOCK);
  platform::ProcessMessages();
  EXPECT_TRUE(g_got.empty());
  // A fresh socket does not get the old handle back at once.
  platform::SOCKET fresh = platform::socket(2, 1, 0);
  EXPECT_NE(fresh, closed);
  EXPECT_EQ(platform::recv(fresh, nullptr, 0, 0), platform::SOCKET_ERROR);
  EXPECT_EQ(platform::WSAGetLastError(), platform::WSAENOTCONN);
  platform::closesocket(fresh);
  EXPECT_EQ(platform::recv(fresh, nullptr, 0, 0), platform::SOCKET_ERROR);
  EXPECT_EQ(platform::WSAGetLastError(), platform::WSAENOTSOCK);
  EXPECT_EQ(platform::closesocket(fresh), platform::SOCKET_ERROR);
  EXPECT_EQ(platform::WSAGetLastError(), platform::WSAENOTSOCK);
}

// Arming a timer again, as every waiting step does, reuses its entry.
TEST_F(Queue, RearmingATimerAllocatesNothing) {
  ASSERT_EQ(platform::SetTimer(window, 9, 1000, nullptr), 9u);
  EXPECT_TRUE(platform::KillTimer(window, 9));
  const long before = fixtures::Allocations();
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(platform::SetTimer(window, 9, 1000, nullptr), 9u);
    ASSERT_TRUE(platform::KillTimer(window, 9));
  }
  EXPECT_EQ(fixtures::Allocations(), before);
  EXPECT_FALSE(platform::KillTimer(window, 9));  // killed stays killed
}

// A socket step may pump and wait for every reply: once their lists have
// room for the watched socket, pumps and waits allocate nothing, however
// many there are (lists that grew from one to the next would allocate
// again and again).
TEST_F(Notices, PumpsAndWaitsAllocateNothing) {
  ConnectTo(port);
  Accept();
  ASSERT_TRUE(PumpUntil([&] { return !Events().empty(); }));  // connected
  platform::WaitForSocketActivity(sock, 0);
  const long before = fixtures::Allocations();
  for (int i = 0; i < 1000; ++i) {
    platform::ProcessMessages();
    platform::WaitForSocketActivity(sock, 0);
  }
  EXPECT_EQ(fixtures::Allocations(), before);
  EXPECT_EQ(Events(), (Ev{{platform::FD_CONNECT, 0}}));
}

// Bytes a receive has taken from the kernel into the layer's buffer count
// as waiting bytes everywhere: their read notice comes and is re-armed by
// the next receive, byte counts include them, and a wait does not block
// while they wait. A peek never consumes, and the order is kept.
TEST_F(Notices, BufferedBytesAreStillWaitingBytes) {
  ConnectTo(port);
  Accept();
  ASSERT_TRUE(PumpUntil([&] { return !Events().empty(); }));
  const std::string sent = "one\r\ntwo\r\n";
  ASSERT_EQ(::send(peer, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
  ASSERT_TRUE(PumpUntil([&] { return Events().size() == 2; }));  // connect, read

  char buf[16];
  ASSERT_EQ(platform::recv(sock, buf, 3, platform::MSG_PEEK), 3);
  EXPECT_EQ(std::string(buf, 3), "one");
  uint32_t waiting = 0;
  ASSERT_EQ(platform::ioctlsocket(sock, platform::FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, sent.size());
  // The kernel holds nothing now; the notice comes from the buffer.
  ASSERT_TRUE(PumpUntil([&] { return Events().size() == 3; }));
  EXPECT_EQ(Events().back(), std::make_pair(static_cast<int>(platform::FD_READ), 0));

  fixtures::CountingEventSource source;
  platform::SetEventSource(&source);
  platform::WaitForSocketActivity(sock, -1);  // bytes wait: no blocking at all
  EXPECT_EQ(source.waits, 0);
  platform::SetEventSource(nullptr);

  ASSERT_EQ(platform::recv(sock, buf, 5, 0), 5);
  EXPECT_EQ(std::string(buf, 5), "one\r\n");
  ASSERT_EQ(platform::ioctlsocket(sock, platform::FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 5u);
  ASSERT_EQ(platform::recv(sock, buf, sizeof buf, 0), 5);
  EXPECT_EQ(std::string(buf, 5), "two\r\n");
  EXPECT_EQ(platform::recv(sock, buf, sizeof buf, 0), platform::SOCKET_ERROR);
  EXPECT_EQ(platform::WSAGetLastError(), platform::WSAEWOULDBLOCK);
  ASSERT_EQ(platform::ioctlsocket(sock, platform::FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 0u);
}

// Closing a socket whose bytes were never received resets the connection,
// whether the bytes still lie in the kernel or already in the buffer; with
// everything received the close is orderly.
TEST_F(Notices, CloseWithUnreceivedBytesResets) {
  struct Case {
    const char* name;
    int peekFirst;  // bytes peeked (taking all into the buffer) before the close
    int received;   // bytes received before the close
    bool reset;
  } cases[] = {
      {"bytes in the kernel", 0, 0, true},
      {"bytes in the buffer", 1, 0, true},
      {"part received", 0, 2, true},
      {"everything received", 0, 3, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (sock == platform::INVALID_SOCKET) {
      sock = platform::socket(2, 1, 0);
      platform::WSAAsyncSelect(sock, window, kMsg, 0x3d);
    }
    if (peer >= 0) ::close(peer);
    g_got.clear();
    ConnectTo(port);
    Accept();
    ASSERT_TRUE(PumpUntil([&] { return !Events().empty(); }));
    ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
    ASSERT_TRUE(PumpUntil([&] { return Events().size() == 2; }));
    char buf[4];
    if (c.peekFirst) {
      ASSERT_EQ(platform::recv(sock, buf, c.peekFirst, platform::MSG_PEEK), c.peekFirst);
    }
    if (c.received) {
      ASSERT_EQ(platform::recv(sock, buf, c.received, 0), c.received);
    }
    ASSERT_EQ(platform::closesocket(sock), 0);
    sock = platform::INVALID_SOCKET;
    pollfd p{peer, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    ssize_t n = ::recv(peer, buf, sizeof buf, 0);
    if (c.reset) {
      EXPECT_EQ(n, -1);
      EXPECT_EQ(errno, ECONNRESET);
    } else {
      EXPECT_EQ(n, 0);
    }
  }
}

TEST_F(Queue, AddressParserAndLookups) {
  EXPECT_EQ(platform::inet_addr("10.1.2.3"), htonl(0x0a010203));
  EXPECT_EQ(platform::inet_addr("0.0.0.0"), 0u);
  EXPECT_EQ(platform::inet_addr("255.255.255.255"), 0xffffffffu);
  EXPECT_EQ(platform::inet_addr("localhost"), 0xffffffffu);
  EXPECT_EQ(platform::inet_addr(""), 0xffffffffu);

  std::vector<char> buf(platform::MAXGETHOSTSTRUCT, '\x55');
  platform::HANDLE task =
      platform::WSAAsyncGetHostByName(window, platform::WM_USER + 102, "localhost", buf.data(), static_cast<int>(buf.size()));
  ASSERT_NE(task, 0u);
  ASSERT_TRUE(PumpUntil([&] { return Count(platform::WM_USER + 102) == 1; }));
  EXPECT_EQ(g_got.back().wParam, task);
  EXPECT_EQ((g_got.back().lParam >> 16) & 0xffff, 0);
  platform::HOSTENT he;
  std::memcpy(static_cast<void*>(&he), buf.data(), sizeof he);
  ASSERT_NE(he.h_addr_list, nullptr);
  uint32_t addr;
  std::memcpy(&addr, he.h_addr_list[0], 4);
  EXPECT_EQ(addr, htonl(0x7f000001));
  EXPECT_GE(reinterpret_cast<char*>(he.h_addr_list[0]), buf.data());
  EXPECT_LT(reinterpret_cast<char*>(he.h_addr_list[0]), buf.data() + buf.size());

  // A record that does not fit is an error, and nothing is written.
  std::vector<char> tiny(8, '\x55');
  g_got.clear();
  platform::WSAAsyncGetHostByName(window, platform::WM_USER + 102, "localhost", tiny.data(), 8);
  ASSERT_TRUE(PumpUntil([&] { return Count(platform::WM_USER + 102) == 1; }));
  EXPECT_EQ((g_got.back().lParam >> 16) & 0xffff, platform::WSAENOBUFS);
  EXPECT_EQ(tiny, std::vector<char>(8, '\x55'));

  // A cancelled request is never answered and never writes. Its worker
  // still posts the answer; once that post has woken the queue, the pumps
  // have taken and dropped it.
  g_got.clear();
  fixtures::CountingEventSource source;
  platform::SetEventSource(&source);
  std::vector<char> untouched(platform::MAXGETHOSTSTRUCT, '\x55');
  task = platform::WSAAsyncGetHostByName(window, platform::WM_USER + 102, "localhost", untouched.data(),
                                         static_cast<int>(untouched.size()));
  EXPECT_EQ(platform::WSACancelAsyncRequest(task), 0);
  EXPECT_TRUE(PumpUntil([&] { return source.wakes >= 1; }));
  platform::ProcessMessages();
  platform::SetEventSource(nullptr);
  EXPECT_EQ(Count(platform::WM_USER + 102), 0);
  EXPECT_EQ(platform::QueuedMessageCount(), 0);
  EXPECT_EQ(untouched, std::vector<char>(platform::MAXGETHOSTSTRUCT, '\x55'));
}

namespace {

// A resolver that answers 127.0.0.1 only once its gate is open, so a test
// decides whether a lookup answers before or after something else. Every
// lookup asked for while it is installed keeps it.
struct HeldResolver {
  HeldResolver() {
    platform::SetHostResolver([gate = answer](const std::string&, std::vector<uint32_t>& addresses) {
      // The limit only keeps a failed test from leaving a helper behind.
      if (!gate->WaitOpen(30000ms)) return platform::WSATRY_AGAIN;
      addresses.push_back(htonl(0x7f000001));
      return 0;
    });
  }
  ~HeldResolver() {
    answer->Open();
    platform::SetHostResolver(nullptr);
  }
  std::shared_ptr<fixtures::Gate> answer = std::make_shared<fixtures::Gate>();
};

}  // namespace

// However a lookup's end and its window's end meet, the layer's table is
// back to its size before the lookups once the window is gone, and an
// answer for a window that is gone finds nothing and writes nothing. Each
// case asks for two lookups for the window that goes, and one for another
// window that stays, whose answer must still come. The resolver answers
// only when the case lets it, so each order holds on every run.
TEST_F(Queue, LookupsGoWithTheirWindowInEveryOrder) {
  enum class Order { DestroyBeforeAnswer, DestroyWithAnswersQueued, AnswersTakenThenDestroy, CancelThenDestroy };
  const struct {
    const char* name;
    Order order;
  } cases[] = {
      {"window gone while the helpers still resolve", Order::DestroyBeforeAnswer},
      {"window gone while the answers wait in the queue", Order::DestroyWithAnswersQueued},
      {"answers taken, then the window gone", Order::AnswersTakenThenDestroy},
      {"cancelled, then the window gone", Order::CancelThenDestroy},
  };
  constexpr int kLookups = 2;
  const platform::UINT kAnswer = platform::WM_USER + 102;
  const int start = platform::LiveLookupCount();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fixtures::CountingEventSource source;
    platform::SetEventSource(&source);
    platform::ScopeExit uninstall([] { platform::SetEventSource(nullptr); });
    HeldResolver resolver;
    const platform::HWND other =
        platform::CreateWindowExA(0, "QueueTestClass", "", 0, 0, 0, 0, 0, 0, 0, platform::HInstance(), nullptr);
    ASSERT_NE(other, 0u);
    platform::ScopeExit otherGone([other] { platform::DestroyWindow(other); });
    std::vector<std::vector<char>> bufs(kLookups + 1, std::vector<char>(platform::MAXGETHOSTSTRUCT, '\x55'));
    std::vector<platform::HANDLE> tasks;
    for (int i = 0; i <= kLookups; ++i) {
      tasks.push_back(platform::WSAAsyncGetHostByName(i < kLookups ? window : other, kAnswer, "held.invalid",
                                                      bufs[i].data(), static_cast<int>(bufs[i].size())));
      ASSERT_NE(tasks.back(), 0u);
    }
    EXPECT_EQ(platform::LiveLookupCount(), start + kLookups + 1);
    // Lets the helpers answer and waits until all three answers are queued.
    auto answersQueued = [&] {
      resolver.answer->Open();
      return source.AwaitWake([] { return platform::QueuedMessageCount() == kLookups + 1; }, 30000ms);
    };
    switch (c.order) {
      case Order::DestroyBeforeAnswer:
        break;  // the helpers wait in the resolver
      case Order::DestroyWithAnswersQueued:
        ASSERT_TRUE(answersQueued());
        break;
      case Order::AnswersTakenThenDestroy:
        ASSERT_TRUE(answersQueued());
        platform::ProcessMessages();
        ASSERT_EQ(Count(kAnswer), kLookups + 1);
        EXPECT_EQ(platform::LiveLookupCount(), start);
        break;
      case Order::CancelThenDestroy:
        for (int i = 0; i < kLookups; ++i) EXPECT_EQ(platform::WSACancelAsyncRequest(tasks[i]), 0);
        EXPECT_EQ(platform::LiveLookupCount(), start + 1);
        break;
    }
    const bool answered = c.order == Order::AnswersTakenThenDestroy;
    platform::DestroyWindow(window);
    EXPECT_EQ(platform::LiveLookupCount(), start + (answered ? 0 : 1));
    // A post to a window that is gone queues nothing; a helper counts as
    // running until it has posted.
    resolver.answer->Open();
    ASSERT_TRUE(PumpUntil([] { return platform::RunningLookupHelpers() == 0; }));
    platform::ProcessMessages();
    EXPECT_EQ(platform::LiveLookupCount(), start);
    EXPECT_EQ(platform::QueuedMessageCount(), 0);
    // The other window's answer came, written into its buffer; the gone
    // window's answers only if they were taken before it went.
    int forGone = 0, forOther = 0;
    for (const auto& m : g_got) (m.hwnd == other ? forOther : forGone) += m.message == kAnswer;
    EXPECT_EQ(forOther, 1);
    EXPECT_EQ(forGone, answered ? kLookups : 0);
    EXPECT_NE(bufs[kLookups], std::vector<char>(platform::MAXGETHOSTSTRUCT, '\x55'));
    for (int i = 0; i < kLookups; ++i) {
      EXPECT_EQ(bufs[i] == std::vector<char>(platform::MAXGETHOSTSTRUCT, '\x55'), !answered) << "lookup " << i;
      // Nothing is left of it to cancel.
      EXPECT_EQ(platform::WSACancelAsyncRequest(tasks[i]), platform::SOCKET_ERROR) << "lookup " << i;
    }
    g_got.clear();
    window = platform::CreateWindowExA(0, "QueueTestClass", "", 0, 0, 0, 0, 0, 0, 0, platform::HInstance(), nullptr);
  }
}
