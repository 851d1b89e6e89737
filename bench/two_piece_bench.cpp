// Speed of kelvorun against a server that writes every multi-line reply in
// two pieces: its status line, then the rest (TOP n 0's header lines and
// ".", the listing), with Nagle's rule on. The rest then leaves only once
// the client has acknowledged the first piece, so a client that lets the
// kernel delay that ACK waits for it on every such reply.
//
// The server is the test suite's mailbox peer (two writes per reply, no
// TCP_NODELAY) on 127.0.0.1 port 110, holding `messages` messages that the
// rules mark none of. The built kelvorun cleans it as a user runs it (scan:
// USER, PASS, STAT, "LIST ", TOP n 0 and LIST n for every message, QUIT;
// then the deletion pass's second login with nothing to delete). Beside it a
// minimal blocking client, a program of its own started afresh for every
// run as kelvorun is, sends the same commands in the same two sessions,
// once acknowledging at once before every wait (TCP_QUICKACK) and once
// leaving the kernel's delayed ACK as it is. kelvorun and the quick client
// alternate round by round after a warm-up, the delayed client's rounds
// (mostly sleep) come after them; medians are compared. Runs against one
// message alone show what a run costs besides its messages (mostly the
// start of a program), so that the ratio can also be given for the
// messages alone.
//
// Port 110 needs a private network namespace: the program re-runs itself
// through netns-run (as root) unless it already runs inside one.
//
//   two_piece_bench [--messages N] [--rounds R]   (defaults 300 and 21)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "tests/fixtures/DovecotServer.h"
#include "tests/fixtures/MailboxPeer.h"
#include "tests/fixtures/NetworkNamespace.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::kPassword;
using bench::kPop3Port;
using bench::kUser;

constexpr double kGoal = 1.5;
constexpr int kDefaultMessages = 300;
// A run takes some 10 ms and the machine is shared: many rounds keep the
// medians steady. The client whose ACKs are delayed mostly sleeps, some
// 13 s a run at 300 messages; a few of its rounds show that well enough.
constexpr int kDefaultRounds = 21;
constexpr int kDelayedRounds = 3;
// A pause before every timed run, outside its time: a run that starts
// within a few milliseconds of the previous conversation's close now and
// then loses some 40 ms, which is no cost of the replies measured here.
constexpr auto kSettle = std::chrono::milliseconds(100);

// The benchmark's messages as the mailbox peer holds them: the header
// lines of the generated messages and their POP3 size.
std::vector<fixtures::ScriptMail> Mails(int messages) {
  std::vector<std::string> subjects, senders;
  for (int i = 0; i < 17; ++i) subjects.push_back("Subject line number " + std::to_string(i) + " of the bench");
  for (int i = 0; i < 7; ++i) senders.push_back("Sender " + std::to_string(i) + " <s" + std::to_string(i) + "@bench.test>");
  std::vector<fixtures::ScriptMail> mails;
  for (const std::string& m :
       fixtures::GenerateMessages(static_cast<std::size_t>(messages), subjects, senders, bench::kMessageSize)) {
    std::string header;
    for (const std::string& line : fixtures::HeaderLines(m)) header += line + "\r\n";
    mails.push_back({header, static_cast<int32_t>(fixtures::Pop3Size(m))});
  }
  return mails;
}

double Max(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

// kelvorun's two sessions, command for command.
void MinimalSessions(int messages, bool quickAck) {
  bench::MinimalScan(messages, quickAck);
  bench::MinimalSecondLogin(messages, quickAck);
}

// The minimal client runs as a program of its own, started afresh for every
// run as kelvorun is: this program again, with these arguments.
constexpr const char* kClientMode = "--minimal-client";

double TimeMinimal(int messages, bool quickAck) {
  return bench::RunProgram({"/proc/self/exe", kClientMode, quickAck ? "quick" : "delayed", std::to_string(messages)})
      .seconds;
}

// The minimal client's own run: `argv` as TimeMinimal passes it.
int RunMinimalClient(char** argv) {
  try {
    MinimalSessions(std::stoi(argv[3]), std::string(argv[2]) == "quick");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "minimal client: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bench::EnsurePrivateNamespace(argv);
  if (argc == 4 && std::string(argv[1]) == kClientMode) return RunMinimalClient(argv);
  bench::Options defaults;
  defaults.messages = kDefaultMessages;
  defaults.rounds = kDefaultRounds;
  const bench::Options o =
      bench::ParseOptions(argc, argv, "two_piece_bench [--messages N] [--rounds R]", defaults);
  const int messages = o.messages;
  const int rounds = o.rounds;
  try {
    const std::vector<fixtures::ScriptMail> mails = Mails(messages);
    const std::vector<fixtures::ScriptMail> one = {mails.front()};
    fixtures::MailboxPeer peer(mails, kUser, kPassword, kPop3Port);
    peer.SplitReplies();
    bench::KelvorunFolder folder;

    // Warm-up: the programs' pages get cached.
    TimeMinimal(messages, true);
    folder.RunKelvorun(messages);

    // Beside the full mailbox, one message alone: what a run costs besides
    // its messages (mostly the start of a program).
    std::vector<double> kelvorun, quick, delayed, kelvorunOne, quickOne;
    auto settle = [] { std::this_thread::sleep_for(kSettle); };
    // What explains the times: the ACKs of a full run that went out only
    // when the kernel's delay timer fired, from the namespace's TcpExt
    // DelayedACKs (the suite's test of the quick ACK counts the same).
    std::vector<double> kelvorunAcks, quickAcks, delayedAcks;
    auto counted = [](std::vector<double>& acks, const std::function<double()>& run) {
      const std::optional<uint64_t> before = fixtures::DelayedAcks();
      const double seconds = run();
      const std::optional<uint64_t> after = fixtures::DelayedAcks();
      if (before && after) acks.push_back(static_cast<double>(*after - *before));
      return seconds;
    };
    const std::vector<std::function<void()>> runs = {
        [&] {
          settle();
          kelvorun.push_back(counted(kelvorunAcks, [&] { return folder.RunKelvorun(messages).seconds; }));
        },
        [&] {
          settle();
          quick.push_back(counted(quickAcks, [&] { return TimeMinimal(messages, true); }));
        },
        [&] {
          peer.Replace(one);
          settle();
          kelvorunOne.push_back(folder.RunKelvorun(1).seconds);
          settle();
          quickOne.push_back(TimeMinimal(1, true));
          peer.Replace(mails);
        },
    };
    // The order turns from round to round, so that drift on a shared
    // machine hits all alike.
    for (int round = 0; round < rounds; ++round)
      for (std::size_t i = 0; i < runs.size(); ++i) runs[(i + static_cast<std::size_t>(round)) % runs.size()]();
    // The client that lets its ACKs be delayed comes after them all: it
    // mostly sleeps, and the machine would wake slowly for the run after it.
    for (int round = 0; round < std::min(rounds, kDelayedRounds); ++round) {
      settle();
      delayed.push_back(counted(delayedAcks, [&] { return TimeMinimal(messages, false); }));
    }
    if (!peer.Failures().empty()) throw std::runtime_error("the server saw: " + peer.Failures().front());

    const double k = bench::Median(kelvorun), q = bench::Median(quick), d = bench::Median(delayed);
    const double k1 = bench::Median(kelvorunOne), q1 = bench::Median(quickOne);
    std::printf("kelvorun (scan, check, second login) vs minimal client, each a program started for every run, "
                "%d messages, %d rounds (delayed ACK: %zu), replies in two writes (Nagle on) from 127.0.0.1:%d in "
                "a private namespace\n",
                messages, rounds, delayed.size(), kPop3Port);
    std::printf("%-22s %10s %10s\n", "client", "median s", "min s");
    std::printf("%-22s %10.4f %10.4f\n", "kelvorun", k, bench::Min(kelvorun));
    std::printf("%-22s %10.4f %10.4f\n", "minimal, quick ACK", q, bench::Min(quick));
    std::printf("%-22s %10.4f %10.4f\n", "minimal, delayed ACK", d, bench::Min(delayed));
    std::printf("%-22s %10.4f %10.4f\n", "kelvorun, 1 message", k1, bench::Min(kelvorunOne));
    std::printf("%-22s %10.4f %10.4f\n", "minimal, 1 message", q1, bench::Min(quickOne));
    if (delayedAcks.empty())
      std::printf("timer ACKs per run: not counted (no TcpExt DelayedACKs in /proc/net/netstat)\n");
    else
      std::printf("timer ACKs per run (TcpExt DelayedACKs), median and max: kelvorun %.0f %.0f, minimal quick ACK "
                  "%.0f %.0f, minimal delayed ACK %.0f %.0f\n",
                  bench::Median(kelvorunAcks), Max(kelvorunAcks), bench::Median(quickAcks), Max(quickAcks),
                  bench::Median(delayedAcks), Max(delayedAcks));
    // Each round's two runs come close together: the median of their ratios
    // is steadier than the ratio of the medians when the machine's speed
    // drifts, as a shared one's does.
    std::vector<double> paired;
    for (std::size_t i = 0; i < kelvorun.size() && i < quick.size(); ++i) paired.push_back(kelvorun[i] / quick[i]);
    const double ratio = bench::Median(paired);
    std::printf("ratio of the medians kelvorun/minimal with quick ACK: %.3f\n", k / q);
    std::printf("median of the rounds' ratios kelvorun/minimal with quick ACK: %.3f (goal <= %.2f) %s\n", ratio,
                kGoal, ratio <= kGoal ? "met" : "MISSED");
    if (messages > 1 && q > q1)
      std::printf("the same for the %d messages beyond the first (medians less those of 1 message): %.3f\n",
                  messages - 1, (k - k1) / (q - q1));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "two_piece_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
