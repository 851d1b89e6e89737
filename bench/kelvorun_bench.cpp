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
// Port 110 needs a private network namespace: the program re-runs itself
// through netns-run (as root) unless it already runs inside one.
//
//   kelvorun_bench [--messages N] [--rounds R]
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "tests/fixtures/DovecotServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::kPop3Port;

constexpr double kGoal = 1.10;

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

}  // namespace

int main(int argc, char** argv) {
  bench::EnsurePrivateNamespace(argv);
  const bench::Options o = bench::ParseOptions(argc, argv, "kelvorun_bench [--messages N] [--rounds R]");
  const int messages = o.messages;
  const int rounds = o.rounds;
  try {
    fixtures::DovecotServer server(bench::ServerOptions());
    bench::FillMailbox(server, messages);
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
