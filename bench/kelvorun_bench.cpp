// Speed of kelvorun as a user runs it: the built program, copied into a
// program folder of its own with a mailbox list and rules that mark
// nothing, cleans a mailbox of a private Dovecot on 127.0.0.1 port 110.
// That is two sessions: the scan (USER, PASS, STAT, "LIST ", then TOP n 0
// and LIST n for every message, QUIT) and the deletion pass's second login
// with nothing to delete (USER, PASS, STAT, QUIT).
//
// A minimal blocking client sends exactly the same commands in the same
// order in the same two sessions, one round trip each: the floor. The two
// alternate round by round after a warm-up of each; medians are compared.
// CPU time per message is kelvorun's own (user + system, from wait4).
//
// With --callgrind it counts instructions instead of timing: kelvorun runs
// once under valgrind's callgrind against a mailbox of one message and once
// against N, and the program's instruction totals are printed, with the
// cost of each message beyond the first apart from the start-up's; both
// profiles are left in the current folder as kelvorun-N.callgrind. With
// --header-lines L each header has L lines instead of the standard 8 (the
// extra ones Received: and X- lines), which shows the cost of a line. The
// counts move far less than times between runs, so they show what a change
// saves on a shared, noisy machine; what moves them is how often a reply has
// not come yet and kelvorun has to wait for it (some 2,000 instructions a
// wait), which a busy machine makes more frequent.
//
// Port 110 needs a private network namespace: the program re-runs itself
// through netns-run (as root) unless it already runs inside one.
//
//   kelvorun_bench [--messages N] [--rounds R]
//   kelvorun_bench --callgrind [--messages N] [--header-lines L]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "tests/fixtures/DovecotServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::kPop3Port;

constexpr double kGoal = 1.10;
// Instructions per message beyond the first, the goal of the counting mode.
constexpr double kInstructionGoal = 25000;
constexpr const char* kCallgrindFlag = "--callgrind";
constexpr const char* kHeaderLinesFlag = "--header-lines";
constexpr const char* kValgrind = "/usr/bin/valgrind";

bench::Run RunMinimal(int messages) {
  const double cpu0 = bench::SelfCpuSeconds();
  const auto t0 = Clock::now();
  bench::MinimalScan(messages);
  bench::MinimalSecondLogin(messages);
  bench::Run r;
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.cpuSeconds = bench::SelfCpuSeconds() - cpu0;
  return r;
}

// The program's instruction total from a callgrind output file: its
// "summary:" line (older versions write "totals:").
long long CallgrindTotal(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  long long total = -1;
  while (std::getline(in, line)) {
    for (const char* key : {"summary: ", "totals: "}) {
      if (line.rfind(key, 0) == 0) total = std::stoll(line.substr(std::strlen(key)));
    }
  }
  if (total < 0) throw std::runtime_error("no instruction total in " + path);
  return total;
}

// kelvorun's instructions, start to end, against a fresh mailbox of
// `messages` messages, after one plain run that lets Dovecot build its index.
long long CountInstructions(int messages, int headerLines) {
  fixtures::DovecotServer server(bench::ServerOptions());
  bench::FillMailbox(server, messages, headerLines);
  server.Start();
  bench::KelvorunFolder folder;
  folder.RunKelvorun(messages);
  const std::string out = folder.Path("callgrind.out");
  folder.RunKelvorun(messages, {kValgrind, "--tool=callgrind", "--dump-instr=no", "--log-file=" + folder.Path("valgrind.log"),
                                "--callgrind-out-file=" + out});
  const long long total = CallgrindTotal(out);
  // The profile stays for callgrind_annotate.
  const std::string kept = "kelvorun-" + std::to_string(messages) + ".callgrind";
  std::filesystem::copy_file(out, kept, std::filesystem::copy_options::overwrite_existing);
  std::printf("profile of %d message(s): %s\n", messages, kept.c_str());
  return total;
}

int CountMode(int messages, int headerLines) {
  if (::access(kValgrind, X_OK) != 0) {
    std::fprintf(stderr, "kelvorun_bench: %s is missing (scripts/setup installs it)\n", kValgrind);
    return 1;
  }
  if (messages < 2) {
    std::fprintf(stderr, "kelvorun_bench: --callgrind needs at least 2 messages\n");
    return 2;
  }
  const long long one = CountInstructions(1, headerLines);
  const long long all = CountInstructions(messages, headerLines);
  const double perMessage = static_cast<double>(all - one) / (messages - 1);
  std::printf("kelvorun (scan, check, second login) under callgrind, Dovecot on 127.0.0.1:%d in a private namespace, "
              "%d header lines a message\n",
              kPop3Port, headerLines);
  std::printf("%-12s %16s\n", "messages", "instructions");
  std::printf("%-12d %16lld\n", 1, one);
  std::printf("%-12d %16lld\n", messages, all);
  std::printf("per message beyond the first: %.0f (goal <= %.0f) %s\n", perMessage, kInstructionGoal,
              perMessage <= kInstructionGoal ? "met" : "MISSED");
  std::printf("whole run per message: %.0f\n", static_cast<double>(all) / messages);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bench::EnsurePrivateNamespace(argv);
  // The counting mode's flag is ours; the rest are the shared options.
  bool count = false;
  int headerLines = bench::kStandardHeaderLines;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::strcmp(argv[i], kCallgrindFlag) == 0) {
      count = true;
    } else if (i > 0 && std::strcmp(argv[i], kHeaderLinesFlag) == 0 && i + 1 < argc) {
      char* end = nullptr;
      const long v = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || v < bench::kStandardHeaderLines || v > bench::kMaxHeaderLines) {
        std::fprintf(stderr, "kelvorun_bench: %s takes %d to %d\n", kHeaderLinesFlag, bench::kStandardHeaderLines,
                     bench::kMaxHeaderLines);
        return 2;
      }
      headerLines = static_cast<int>(v);
    } else {
      rest.push_back(argv[i]);
    }
  }
  const bench::Options o = bench::ParseOptions(static_cast<int>(rest.size()), rest.data(),
                                               "kelvorun_bench [--callgrind] [--messages N] [--rounds R] [--header-lines L]");
  const int messages = o.messages;
  const int rounds = o.rounds;
  try {
    if (count) return CountMode(messages, headerLines);
    fixtures::DovecotServer server(bench::ServerOptions());
    bench::FillMailbox(server, messages, headerLines);
    server.Start();
    bench::KelvorunFolder folder;

    // Warm-up: Dovecot builds its index, both programs' pages get cached.
    RunMinimal(messages);
    folder.RunKelvorun(messages);

    std::vector<double> kelvorun, minimal, kelvorunCpu, minimalCpu;
    bench::Alternate(
        rounds,
        [&] {
          const bench::Run r = folder.RunKelvorun(messages);
          kelvorun.push_back(r.seconds);
          kelvorunCpu.push_back(r.cpuSeconds);
        },
        [&] {
          const bench::Run r = RunMinimal(messages);
          minimal.push_back(r.seconds);
          minimalCpu.push_back(r.cpuSeconds);
        });

    const double k = bench::Median(kelvorun), m = bench::Median(minimal);
    std::printf("kelvorun (scan, check, second login) vs minimal client, %d messages, %d rounds, Dovecot on "
                "127.0.0.1:%d in a private namespace\n",
                messages, rounds, kPop3Port);
    std::printf("%-10s %10s %10s %14s\n", "client", "median s", "min s", "CPU/message");
    std::printf("%-10s %10.4f %10.4f %11.2f us\n", "kelvorun", k, bench::Min(kelvorun),
                bench::Median(kelvorunCpu) / messages * 1e6);
    std::printf("%-10s %10.4f %10.4f %11.2f us\n", "minimal", m, bench::Min(minimal),
                bench::Median(minimalCpu) / messages * 1e6);
    const double ratio = k / m;
    std::printf("ratio kelvorun/minimal: %.3f (goal <= %.2f) %s\n", ratio, kGoal, ratio <= kGoal ? "met" : "MISSED");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvorun_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
