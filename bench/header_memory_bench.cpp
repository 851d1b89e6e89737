// Peak memory of the built kelvorun scanning a mailbox whose headers are
// hostile: many tiny lines, or lines full of bare CRs, against the header
// size and the number of such messages. Each figure is a fresh kelvorun
// (its peak resident size from wait4), against a POP3 server that keeps the
// mailbox, on 127.0.0.1 port 110 in a private network namespace. The
// baseline is the same run over as many ordinary messages.
//
//   header_memory_bench [--counts N,N,...]   (default 8,24,64)
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "tests/fixtures/MailboxPeer.h"

namespace {

constexpr double kGoalMiB = 32;
// The server holds every message's header in memory: up to 4 MB each.
constexpr int kMaxCount = 256;
constexpr size_t kMB = 1000 * 1000;

// The header lines of one message: `filler` first, then the sender and
// subject lines, which the scan must still find.
fixtures::ScriptMail Message(const std::string& filler, int n) {
  return {filler + "From: bench" + std::to_string(n) + "@bench.test\r\nSubject: Bench " + std::to_string(n) + "\r\n",
          static_cast<int32_t>(filler.size() + 1000)};
}

// About `bytes` of header text in lines "X:".
std::string TinyLines(size_t bytes) {
  std::string s;
  s.reserve(bytes);
  while (s.size() + 4 <= bytes) s += "X:\r\n";
  return s;
}

// About `bytes` of header text in lines of 30000 bare CRs each.
std::string BareCrLines(size_t bytes) {
  const std::string line = "X-CR:" + std::string(30000, '\r') + "\r\n";
  std::string s;
  while (s.size() + line.size() <= bytes) s += line;
  return s;
}

// Runs kelvorun against `count` messages with the header `make` builds. The
// server lives in a process of its own, made before the headers are: the
// peak that wait4 reports for a spawned program also counts the spawning
// process's peak before the program starts, so this process stays small.
double PeakOf(const std::function<std::string()>& make, int count) {
  int ready[2], stop[2];
  if (::pipe(ready) != 0 || ::pipe(stop) != 0) throw std::runtime_error("pipe failed");
  const pid_t server = ::fork();
  if (server < 0) throw std::runtime_error("fork failed");
  if (server == 0) {
    ::close(ready[0]);
    ::close(stop[1]);
    int code = 0;
    try {
      const std::string filler = make();
      std::vector<fixtures::ScriptMail> mails;
      for (int n = 1; n <= count; ++n) mails.push_back(Message(filler, n));
      fixtures::MailboxPeer peer(std::move(mails), bench::kUser, bench::kPassword, bench::kPop3Port);
      char one = 1;
      if (::write(ready[1], &one, 1) != 1) code = 1;
      char ignored;
      while (::read(stop[0], &ignored, 1) > 0) {
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "header_memory_bench server: %s\n", e.what());
      code = 1;
    }
    ::_exit(code);
  }
  ::close(ready[1]);
  ::close(stop[0]);
  char one = 0;
  const bool up = ::read(ready[0], &one, 1) == 1;
  ::close(ready[0]);
  double peak = 0;
  std::string failure;
  if (up) {
    try {
      bench::KelvorunFolder folder;
      peak = folder.RunKelvorun(count).peakMiB;
    } catch (const std::exception& e) {
      failure = e.what();
    }
  } else {
    failure = "the server did not start";
  }
  ::close(stop[1]);
  int status = 0;
  ::waitpid(server, &status, 0);
  if (!failure.empty()) throw std::runtime_error(failure);
  return peak;
}

std::vector<int> ParseCounts(int argc, char** argv) {
  std::vector<int> counts = {8, 24, 64};
  if (argc == 3 && std::string(argv[1]) == "--counts") {
    counts.clear();
    std::istringstream in(argv[2]);
    for (std::string item; std::getline(in, item, ',');) {
      const int n = std::atoi(item.c_str());
      if (n < 1 || n > kMaxCount) {
        std::fprintf(stderr, "header_memory_bench: a count is 1 to %d, not %s\n", kMaxCount, item.c_str());
        std::exit(2);
      }
      counts.push_back(n);
    }
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: header_memory_bench [--counts N,N,...]\n");
    std::exit(2);
  }
  return counts;
}

}  // namespace

int main(int argc, char** argv) {
  bench::EnsurePrivateNamespace(argv);
  const std::vector<int> counts = ParseCounts(argc, argv);
  struct Kind {
    const char* name;
    std::function<std::string()> make;
  };
  const Kind kinds[] = {
      {"ordinary (baseline)", [] { return std::string(); }},
      {"lines \"X:\", 1 MB", [] { return TinyLines(1 * kMB); }},
      {"lines \"X:\", 4 MB", [] { return TinyLines(4 * kMB); }},
      {"64 lines of 30000 CRs", [] { return BareCrLines(64 * 30007); }},
      {"128 lines of 30000 CRs", [] { return BareCrLines(128 * 30007); }},
  };
  try {
    std::printf("kelvorun peak resident size in MiB (fresh process per figure; goal <= %.0f MiB)\n", kGoalMiB);
    std::printf("%-26s", "header");
    for (int c : counts) std::printf(" %9d msgs", c);
    std::printf("\n");
    bool met = true;
    for (const Kind& k : kinds) {
      std::printf("%-26s", k.name);
      for (int c : counts) {
        const double peak = PeakOf(k.make, c);
        met = met && peak <= kGoalMiB;
        std::printf(" %14.1f", peak);
        std::fflush(stdout);
      }
      std::printf("\n");
    }
    std::printf("goal %s\n", met ? "met" : "MISSED");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "header_memory_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
