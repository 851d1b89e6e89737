// What the benchmarks of the programs as users run them share: a private
// network namespace for port 110, the benchmark mailbox on a private
// Dovecot, a program folder with kelvorun and data files that mark nothing,
// session times from Dovecot's log, and medians.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tests/fixtures/DovecotServer.h"

namespace bench {

inline constexpr int kPop3Port = 110;
inline constexpr const char* kUser = "bench";
inline constexpr const char* kPassword = "benchpw";
// Each message's reported size; a header of a dozen lines plus a body.
inline constexpr std::size_t kMessageSize = 2000;
// Rounds are never fewer than this, whatever is asked.
inline constexpr int kMinRounds = 7;
inline constexpr int kMaxMessages = 60000;

// Re-runs the program through netns-run unless it already runs inside the
// namespace that call made. Returns only when it runs inside; exits with 1
// when the re-run cannot start.
void EnsurePrivateNamespace(char** argv);

// kelvorun's two sessions as the minimal client sends them, command for
// command, on 127.0.0.1 port 110: the scan (USER, PASS, STAT, "LIST ", TOP n
// 0 and LIST n for every message, QUIT), and the deletion pass's second
// login with nothing to delete. `quickAck`: the client acknowledges at once
// before each wait. Throw on a reply that is not as kelvorun would take it.
void MinimalScan(int messages, bool quickAck = false);
void MinimalSecondLogin(int messages, bool quickAck = false);

// Options shared by the benchmarks: --messages N --rounds R, over the
// benchmark's defaults. Exits with a usage line on anything else.
struct Options {
  int messages = 2000;
  int rounds = kMinRounds;
};
Options ParseOptions(int argc, char** argv, const char* usage, Options defaults = {});

// A Dovecot on 127.0.0.1 port 110 (log to the microsecond) holding the
// benchmark mailbox: `messages` generated messages, all unmarked by the rules
// of KelvorunFolder. Each header has kStandardHeaderLines lines, or
// `headerLines` when more: the rest are Received: and X- lines as relays
// and filters add them, so the cost per header line can be measured.
inline constexpr int kStandardHeaderLines = 8;
inline constexpr int kMaxHeaderLines = 1000;
void FillMailbox(fixtures::DovecotServer& server, int messages, int headerLines = kStandardHeaderLines);
fixtures::DovecotServer::Options ServerOptions();

struct Run {
  double seconds = 0;
  double cpuSeconds = 0;
  double peakMiB = 0;  // the program's peak resident size
};

// Starts the program `argv[0]` with `argv`, in the folder "/", its standard
// output into the file `out` when given, and waits for it: its wall and CPU
// time and peak size. Throws when it cannot start or does not exit with 0.
Run RunProgram(const std::vector<std::string>& argv, const std::string& out = {});

// A temporary program folder with a copy of the built kelvorun, a mailbox
// list naming the benchmark mailbox and rules that mark nothing.
class KelvorunFolder {
 public:
  KelvorunFolder();
  ~KelvorunFolder();
  KelvorunFolder(const KelvorunFolder&) = delete;
  KelvorunFolder& operator=(const KelvorunFolder&) = delete;

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // The data files alone, for a program that reads them from this folder.
  const std::string& Folder() const { return dir_; }

  // Runs kelvorun (scan, check, deletion pass with nothing to delete) and
  // returns its wall time, its CPU time (user + system) and its peak
  // resident size, from wait4.
  // Throws unless it saw `messages` messages and marked none. `launcher`,
  // when given, is the command line that kelvorun's path is appended to
  // (for example a profiler).
  Run RunKelvorun(int messages, const std::vector<std::string>& launcher = {}) const;

 private:
  std::string dir_;
};

// Durations in seconds of the sessions that Dovecot's log shows as ended
// with `topCount` TOP commands, in the order they ended, from a log written
// with microsecondLog. Sessions that have not ended yet are left out.
std::vector<double> SessionSeconds(const std::string& logText, int topCount);

// Waits (up to a few seconds) until the log shows `count` such sessions and
// returns them; throws if it never does.
std::vector<double> AwaitSessions(const fixtures::DovecotServer& server, int topCount, std::size_t count);

// CPU time (user + system) this process has used so far.
double SelfCpuSeconds();

// `rounds` rounds of `a` and `b`, the order alternating from round to round
// (a first in round 0), so that drift on a shared machine hits both alike.
void Alternate(int rounds, const std::function<void()>& a, const std::function<void()>& b);

double Median(std::vector<double> v);
double Min(const std::vector<double>& v);

}  // namespace bench
