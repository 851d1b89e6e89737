// Cost of the socket component's waits, against loopback peers only.
//   1. CPU time of the thread during a 2-second wait for a reply line that
//      never comes, as a share of the wall time (goal: below 1%); the same
//      for a 2-second connect wait on a listener whose backlog is full.
//   2. Median round trip of Transaction against a line echo peer, next to a
//      minimal blocking-socket client doing the same exchange on its own
//      connection, in alternating blocks (goal: ratio at most 1.5).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "pop3client/SocketBase.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 2000;
constexpr int kRoundTrips = 20000;
constexpr int kBlock = 500;
const std::string kCommand = "NOOP 0123456789";

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int Listen(int backlog, uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(fd, backlog);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

int ConnectBlocking(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

// Answers every line with the same line, for each connection it accepts.
class EchoPeer {
 public:
  EchoPeer() {
    listenFd_ = Listen(8, port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~EchoPeer() {
    stop_ = true;
    int wake = ConnectBlocking(port_);
    close(wake);
    thread_.join();
    for (auto& t : workers_) t.join();
    close(listenFd_);
  }
  uint16_t Port() const { return port_; }

 private:
  void Run() {
    for (;;) {
      int c = accept(listenFd_, nullptr, nullptr);
      if (c < 0 || stop_) {
        if (c >= 0) close(c);
        return;
      }
      workers_.emplace_back([c] {
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string pending;
        char buf[4096];
        for (;;) {
          ssize_t n = recv(c, buf, sizeof buf, 0);
          if (n <= 0) break;
          pending.append(buf, static_cast<size_t>(n));
          size_t lf;
          while ((lf = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, lf + 1);
            pending.erase(0, lf + 1);
            send(c, line.data(), line.size(), MSG_NOSIGNAL);
          }
        }
        close(c);
      });
    }
  }
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<std::thread> workers_;
};

// The best a client can do: one blocking send and blocking reads until LF.
class BlockingClient {
 public:
  explicit BlockingClient(uint16_t port) : fd_(ConnectBlocking(port)) {}
  ~BlockingClient() { close(fd_); }
  std::string Transaction(const std::string& command) {
    std::string out = command + "\r\n";
    send(fd_, out.data(), out.size(), MSG_NOSIGNAL);
    std::string line;
    // The echo sends exactly one line per command, so whatever arrives
    // belongs to it.
    char buf[512];
    for (;;) {
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return line;
      line.append(buf, static_cast<size_t>(n));
      if (line.back() == '\n') return line;
    }
  }

 private:
  int fd_;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void WaitFigures() {
  // A peer that accepts and never writes.
  uint16_t port;
  int silent = Listen(1, port);
  TSocketBase sock(nullptr);
  sock.Host = "127.0.0.1";
  sock.Port = port;
  sock.TimeOut = kWaitMs;
  sock.Connect();
  double cpu0 = ThreadCpuSeconds();
  auto t0 = Clock::now();
  try {
    sock.ReadLn();
  } catch (const EAbortError&) {
  }
  double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  double cpu = ThreadCpuSeconds() - cpu0;
  std::printf("line wait:    %.3f s wall, %.4f s CPU, %.3f%% of wall (goal < 1%%)\n", wall, cpu,
              100.0 * cpu / wall);
  sock.Disconnect();
  close(silent);

  // A listener whose backlog is full: the connect never completes.
  uint16_t fullPort;
  int full = Listen(0, fullPort);
  int filler[2] = {ConnectBlocking(fullPort), socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)};
  {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(fullPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(filler[1], reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  TSocketBase conn(nullptr);
  conn.Host = "127.0.0.1";
  conn.Port = fullPort;
  conn.TimeOut = kWaitMs;
  cpu0 = ThreadCpuSeconds();
  t0 = Clock::now();
  try {
    conn.Connect();
  } catch (const ESockError&) {
  }
  wall = std::chrono::duration<double>(Clock::now() - t0).count();
  cpu = ThreadCpuSeconds() - cpu0;
  std::printf("connect wait: %.3f s wall, %.4f s CPU, %.3f%% of wall (2 ms passes)\n", wall, cpu,
              100.0 * cpu / wall);
  close(filler[0]);
  close(filler[1]);
  close(full);
}

void RoundTripFigures() {
  EchoPeer echo;
  TSocketBase sock(nullptr);
  sock.Host = "127.0.0.1";
  sock.Port = echo.Port();
  sock.TimeOut = 10000;
  sock.Connect();
  BlockingClient plain(echo.Port());

  // Warm both paths up.
  for (int i = 0; i < 200; ++i) {
    sock.Transaction(kCommand);
    plain.Transaction(kCommand);
  }
  std::vector<double> ours, theirs;
  ours.reserve(kRoundTrips);
  theirs.reserve(kRoundTrips);
  for (int done = 0; done < kRoundTrips; done += kBlock) {
    for (int i = 0; i < kBlock; ++i) {
      auto t = Clock::now();
      std::string r = sock.Transaction(kCommand);
      ours.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
      if (r.size() != kCommand.size() + 2) std::fprintf(stderr, "bad echo\n");
    }
    for (int i = 0; i < kBlock; ++i) {
      auto t = Clock::now();
      std::string r = plain.Transaction(kCommand);
      theirs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
      if (r.size() != kCommand.size() + 2) std::fprintf(stderr, "bad echo\n");
    }
  }
  double a = Median(ours), b = Median(theirs);
  std::printf("round trip:   Transaction median %.1f us, blocking client median %.1f us, ratio %.2f (goal <= 1.5)\n",
              a, b, a / b);
  sock.Disconnect();
}

}  // namespace

int main() {
  WaitFigures();
  RoundTripFigures();
  return 0;
}
