// Speed of a full header scan against a real POP3 server (a private Dovecot
// on 127.0.0.1): connect, USER/PASS/STAT, LIST, then TOP n 0 and LIST n for
// every message, QUIT. Three clients do the same scan side by side, in
// rotating order within each round so that drift on a shared machine hits
// all of them alike:
//   TPop3Client  the program's POP3 client (Connect, ListSizes, FetchSummary
//                for every message, Disconnect);
//   poplib       Python's standard library (bench/pop3_bench_poplib.py);
//   minimal      a blocking client that sends one command per round trip,
//                the floor for this fixed sequence.
// Medians are compared; the CPU time of the TPop3Client scan is reported as
// a share of its wall time.
//
//   pop3_bench [--messages N] [--rounds R]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/Runtime.h"
#include "pop3client/Pop3Client.h"
#include "tests/fixtures/DovecotServer.h"
#include "tests/fixtures/MiniPop3Client.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultMessages = 1000;
constexpr int kDefaultRounds = 5;
constexpr int kClientTimeOutMs = 10000;
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kPoplibScript = "pop3_bench_poplib.py";
constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench-pw";
constexpr double kGoalVsPoplib = 0.9;
constexpr double kGoalVsMinimal = 1.15;

// What a scan saw; every contestant must see the same.
struct ScanResult {
  double seconds = 0;
  long messages = 0;
  long headerLines = 0;  // lines of the TOP replies before the "." line
  long bytes = 0;        // sum of the LIST n sizes
  double cpuSeconds = 0;
};

bool operator==(const ScanResult& a, const ScanResult& b) {
  return a.messages == b.messages && a.headerLines == b.headerLines && a.bytes == b.bytes;
}

ScanResult ScanWithTPop3Client(int port) {
  ScanResult r;
  const double cpu0 = bench::SelfCpuSeconds();
  const auto t0 = Clock::now();
  TPop3Client client(nullptr);
  client.Host = fixtures::DovecotServer::Host();
  client.Port = port;
  client.TimeOut = kClientTimeOutMs;
  client.UserID = kUser;
  client.Password = kPassword;
  client.Connect();
  const int32_t count = client.MessageCount();
  long listed = 0;
  client.OnList = [&](int32_t, int32_t) { ++listed; };
  client.ListSizes();
  client.OnList = nullptr;
  for (int32_t n = 1; n <= count; ++n) {
    client.FetchSummary(n);
    // Header ends with the "." line, which the other contestants do not keep.
    r.headerLines += client.Summary().Header.Count() - 1;
    r.bytes += client.Summary().Bytes;
  }
  client.Disconnect();
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.cpuSeconds = bench::SelfCpuSeconds() - cpu0;
  r.messages = count;
  if (listed != count) throw std::runtime_error("TPop3Client: LIST gave " + std::to_string(listed) + " lines");
  return r;
}

ScanResult ScanWithMinimalClient(int port) {
  using fixtures::MiniPop3Client;
  ScanResult r;
  const double cpu0 = bench::SelfCpuSeconds();
  const auto t0 = Clock::now();
  MiniPop3Client client;
  if (!MiniPop3Client::IsOk(client.Connect(fixtures::DovecotServer::Host(), port)))
    throw std::runtime_error("minimal: bad greeting");
  client.Login(kUser, kPassword);
  const int count = client.StatCount();
  if (client.ListSizes().size() != static_cast<std::size_t>(count)) throw std::runtime_error("minimal: LIST count");
  for (int n = 1; n <= count; ++n) {
    auto [status, lines] = client.TopHeader(n);
    if (!MiniPop3Client::IsOk(status)) throw std::runtime_error("minimal: TOP refused: " + status);
    r.headerLines += static_cast<long>(lines.size());
    const std::string list = client.List(n);
    long number = 0, size = 0;
    if (std::sscanf(list.c_str(), "+OK %ld %ld", &number, &size) != 2)
      throw std::runtime_error("minimal: LIST reply " + list);
    r.bytes += size;
  }
  client.Quit();
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.cpuSeconds = bench::SelfCpuSeconds() - cpu0;
  r.messages = count;
  return r;
}

ScanResult ScanWithPoplib(int port) {
  const std::string script = platform::ProgramFolder() + kPoplibScript;
  const std::string command = std::string(kPython) + " '" + script + "' 127.0.0.1 " + std::to_string(port) + " " +
                              kUser + " " + kPassword;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  char line[512] = {};
  const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
  const int status = ::pclose(pipe);
  ScanResult r;
  if (!got || status != 0 ||
      std::sscanf(line, "seconds=%lf messages=%ld header_lines=%ld bytes=%ld", &r.seconds, &r.messages,
                  &r.headerLines, &r.bytes) != 4)
    throw std::runtime_error("poplib scan failed: " + command + " -> " + line);
  return r;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int ParsePositive(const char* text, const char* what) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (*end != '\0' || v <= 0 || v > 1000000) throw std::invalid_argument(std::string("bad ") + what);
  return static_cast<int>(v);
}

}  // namespace

int main(int argc, char** argv) {
  int messages = kDefaultMessages;
  int rounds = kDefaultRounds;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--messages" && i + 1 < argc) messages = ParsePositive(argv[++i], "--messages");
      else if (arg == "--rounds" && i + 1 < argc) rounds = ParsePositive(argv[++i], "--rounds");
      else throw std::invalid_argument("usage: pop3_bench [--messages N] [--rounds R]");
    }

    fixtures::DovecotServer server;
    server.AddUser(kUser, kPassword);
    std::vector<std::string> subjects, senders;
    for (int i = 0; i < 17; ++i) subjects.push_back("Subject line number " + std::to_string(i) + " of the bench");
    for (int i = 0; i < 7; ++i) senders.push_back("Sender " + std::to_string(i) + " <s" + std::to_string(i) + "@bench.test>");
    server.AddMessages(kUser, fixtures::GenerateMessages(static_cast<std::size_t>(messages), subjects, senders, 2000));
    server.Start();
    const int port = server.Port();

    // The first scan makes Dovecot build its index; it is not measured.
    const ScanResult reference = ScanWithMinimalClient(port);

    struct Contestant {
      const char* name;
      std::function<ScanResult(int)> scan;
      std::vector<double> seconds;
      std::string failure;  // set when the contestant cannot finish a scan
    };
    std::vector<Contestant> contestants = {
        {"TPop3Client", ScanWithTPop3Client, {}, {}},
        {"poplib", ScanWithPoplib, {}, {}},
        {"minimal", ScanWithMinimalClient, {}, {}},
    };
    std::vector<double> cpuShare, minimalCpuShare;
    for (int round = 0; round < rounds; ++round) {
      for (std::size_t k = 0; k < contestants.size(); ++k) {
        Contestant& c = contestants[(k + static_cast<std::size_t>(round)) % contestants.size()];
        if (!c.failure.empty()) continue;
        ScanResult r;
        try {
          r = c.scan(port);
        } catch (const std::exception& e) {
          // Reported with the figures; the others still run.
          c.failure = e.what();
          continue;
        }
        if (!(r == reference))
          throw std::runtime_error(std::string(c.name) + " saw " + std::to_string(r.messages) + " messages, " +
                                   std::to_string(r.headerLines) + " header lines, " + std::to_string(r.bytes) +
                                   " bytes; expected " + std::to_string(reference.messages) + ", " +
                                   std::to_string(reference.headerLines) + ", " + std::to_string(reference.bytes));
        c.seconds.push_back(r.seconds);
        if (std::string(c.name) == "TPop3Client") cpuShare.push_back(r.cpuSeconds / r.seconds);
        if (std::string(c.name) == "minimal") minimalCpuShare.push_back(r.cpuSeconds / r.seconds);
      }
    }

    std::printf("POP3 header scan of %d messages (%ld header lines), %d rounds, Dovecot on 127.0.0.1:%d\n",
                messages, reference.headerLines, rounds, port);
    std::printf("%-12s %10s %10s %12s\n", "contestant", "median s", "min s", "per message");
    for (const Contestant& c : contestants) {
      if (!c.failure.empty()) {
        std::printf("%-12s failed: %s\n", c.name, c.failure.c_str());
        continue;
      }
      const double med = Median(c.seconds);
      std::printf("%-12s %10.4f %10.4f %10.1f us\n", c.name, med, *std::min_element(c.seconds.begin(), c.seconds.end()),
                  med / messages * 1e6);
    }
    auto ratio = [&](std::size_t other, double goal) {
      if (!contestants[0].failure.empty() || !contestants[other].failure.empty()) {
        std::printf("ratio TPop3Client/%s: n/a\n", contestants[other].name);
        return;
      }
      const double r = Median(contestants[0].seconds) / Median(contestants[other].seconds);
      std::printf("ratio TPop3Client/%s: %.3f (goal <= %.2f) %s\n", contestants[other].name, r, goal,
                  r <= goal ? "met" : "MISSED");
    };
    ratio(1, kGoalVsPoplib);
    ratio(2, kGoalVsMinimal);
    if (!cpuShare.empty()) std::printf("TPop3Client CPU time / wall time: %.3f\n", Median(cpuShare));
    if (!minimalCpuShare.empty())
      std::printf("minimal CPU time / wall time: %.3f (for comparison)\n", Median(minimalCpuShare));
    for (const Contestant& c : contestants)
      if (!c.failure.empty()) return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pop3_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
