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
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Runtime.h"
#include "tests/fixtures/DovecotServer.h"
#include "tests/fixtures/MiniPop3Client.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
using fixtures::MiniPop3Client;

constexpr int kDefaultMessages = 2000;
constexpr int kDefaultRounds = 7;
constexpr int kMinRounds = 7;
constexpr int kPop3Port = 110;
// Each message's reported size; a header of a dozen lines plus a body.
constexpr std::size_t kMessageSize = 2000;
constexpr const char* kUser = "bench";
constexpr const char* kPassword = "benchpw";
constexpr const char* kInsideMarker = "KELVO_BENCH_IN_NETNS";
constexpr double kGoal = 1.10;

// No subject holds this, so the deletion pass has nothing to delete.
const std::string kRules = "[SUBJECT]\r\n* KEIN-BETREFF-HAT-DAS\r\n";

struct Run {
  double seconds = 0;
  double cpuSeconds = 0;
};

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

double CpuOf(const rusage& u) { return Seconds(u.ru_utime) + Seconds(u.ru_stime); }

double SelfCpu() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return CpuOf(u);
}

class ProgramFolder {
 public:
  explicit ProgramFolder(const std::string& program) {
    char tmpl[] = "/tmp/kelvorun-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("cannot make a program folder");
    dir_ = tmpl;
    fs::copy_file(program, dir_ + "/kelvorun");
    Write("Kelvo_Mailboxen.txt", "[MAILBOXEN]\r\n127.0.0.1 " + std::string(kUser) + " " + kPassword + "\r\n");
    Write("Kelvo_Spamdefs.txt", kRules);
  }
  ~ProgramFolder() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  ProgramFolder(const ProgramFolder&) = delete;
  ProgramFolder& operator=(const ProgramFolder&) = delete;

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Runs kelvorun with its output in a file; returns its wall and CPU time
  // and checks that it saw the whole mailbox and marked nothing.
  Run RunKelvorun(int messages) const {
    const std::string out = Path("out.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, "/");
    std::string exe = Path("kelvorun");
    char* argv[] = {exe.data(), nullptr};
    const auto t0 = Clock::now();
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error(std::string("cannot start kelvorun: ") + std::strerror(spawned));
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("wait4 failed");
    Run r;
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.cpuSeconds = CpuOf(usage);
    std::ifstream in(out, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    const std::string expected = "Mailheader:..." + std::to_string(messages) + "\r\nViren:0\r\n";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.find(expected) == std::string::npos)
      throw std::runtime_error("kelvorun did not clean the mailbox as expected:\n" + text);
    return r;
  }

 private:
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }
  std::string dir_;
};

void Expect(bool ok, const std::string& what, const std::string& reply) {
  if (!ok) throw std::runtime_error("minimal: " + what + ": " + reply);
}

// The first session's commands.
void MinimalScan(int messages) {
  MiniPop3Client c;
  Expect(MiniPop3Client::IsOk(c.Connect("127.0.0.1", kPop3Port)), "greeting", "");
  c.Login(kUser, kPassword);
  Expect(c.StatCount() == messages, "STAT", "");
  // kelvorun sends its listing command with a trailing blank.
  const std::string list = c.Command("LIST ");
  Expect(MiniPop3Client::IsOk(list), "LIST", list);
  Expect(c.ReadMultiLine().size() == static_cast<std::size_t>(messages), "LIST lines", "");
  for (int n = 1; n <= messages; ++n) {
    auto [status, lines] = c.TopHeader(n);
    Expect(MiniPop3Client::IsOk(status) && !lines.empty(), "TOP", status);
    const std::string size = c.List(n);
    Expect(MiniPop3Client::IsOk(size), "LIST n", size);
  }
  const std::string bye = c.Quit();
  Expect(MiniPop3Client::IsOk(bye), "QUIT", bye);
}

// The deletion pass with nothing to delete.
void MinimalSecondLogin(int messages) {
  MiniPop3Client c;
  Expect(MiniPop3Client::IsOk(c.Connect("127.0.0.1", kPop3Port)), "greeting", "");
  c.Login(kUser, kPassword);
  Expect(c.StatCount() == messages, "STAT", "");
  const std::string bye = c.Quit();
  Expect(MiniPop3Client::IsOk(bye), "QUIT", bye);
}

Run RunMinimal(int messages) {
  const double cpu0 = SelfCpu();
  const auto t0 = Clock::now();
  MinimalScan(messages);
  MinimalSecondLogin(messages);
  Run r;
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.cpuSeconds = SelfCpu() - cpu0;
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
  if (*end != '\0' || v <= 0 || v > 60000) throw std::invalid_argument(std::string("bad ") + what);
  return static_cast<int>(v);
}

// Re-runs this program inside a private network namespace.
int RunInNamespace(char** argv) {
  ::setenv(kInsideMarker, "1", 1);
  const std::string netnsRun = KELVO_NETNS_RUN;
  std::vector<char*> args{const_cast<char*>(netnsRun.c_str())};
  for (char** a = argv; *a != nullptr; ++a) args.push_back(*a);
  args.push_back(nullptr);
  ::execv(netnsRun.c_str(), args.data());
  std::fprintf(stderr, "kelvorun_bench: cannot run %s: %s\n", netnsRun.c_str(), std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv(kInsideMarker) == nullptr) return RunInNamespace(argv);
  int messages = kDefaultMessages;
  int rounds = kDefaultRounds;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--messages" && i + 1 < argc) messages = ParsePositive(argv[++i], "--messages");
      else if (arg == "--rounds" && i + 1 < argc) rounds = std::max(kMinRounds, ParsePositive(argv[++i], "--rounds"));
      else throw std::invalid_argument("usage: kelvorun_bench [--messages N] [--rounds R]");
    }

    fixtures::DovecotServer::Options options;
    options.port = kPop3Port;
    fixtures::DovecotServer server(options);
    server.AddUser(kUser, kPassword);
    std::vector<std::string> subjects, senders;
    for (int i = 0; i < 17; ++i) subjects.push_back("Subject line number " + std::to_string(i) + " of the bench");
    for (int i = 0; i < 7; ++i) senders.push_back("Sender " + std::to_string(i) + " <s" + std::to_string(i) + "@bench.test>");
    server.AddMessages(kUser, fixtures::GenerateMessages(static_cast<std::size_t>(messages), subjects, senders,
                                                         kMessageSize));
    server.Start();
    ProgramFolder folder(platform::ProgramFolder() + "kelvorun");

    // Warm-up: Dovecot builds its index, both programs' pages get cached.
    RunMinimal(messages);
    folder.RunKelvorun(messages);

    std::vector<double> kelvorun, minimal, kelvorunCpu, minimalCpu;
    for (int round = 0; round < rounds; ++round) {
      // Alternating order, so drift on a shared machine hits both alike.
      for (int k = 0; k < 2; ++k) {
        if ((k + round) % 2 == 0) {
          const Run r = folder.RunKelvorun(messages);
          kelvorun.push_back(r.seconds);
          kelvorunCpu.push_back(r.cpuSeconds);
        } else {
          const Run r = RunMinimal(messages);
          minimal.push_back(r.seconds);
          minimalCpu.push_back(r.cpuSeconds);
        }
      }
    }

    const double k = Median(kelvorun), m = Median(minimal);
    std::printf("kelvorun (scan, check, second login) vs minimal client, %d messages, %d rounds, Dovecot on "
                "127.0.0.1:%d in a private namespace\n",
                messages, rounds, kPop3Port);
    std::printf("%-10s %10s %10s %14s\n", "client", "median s", "min s", "CPU/message");
    std::printf("%-10s %10.4f %10.4f %11.2f us\n", "kelvorun", k, *std::min_element(kelvorun.begin(), kelvorun.end()),
                Median(kelvorunCpu) / messages * 1e6);
    std::printf("%-10s %10.4f %10.4f %11.2f us\n", "minimal", m, *std::min_element(minimal.begin(), minimal.end()),
                Median(minimalCpu) / messages * 1e6);
    const double ratio = k / m;
    std::printf("ratio kelvorun/minimal: %.3f (goal <= %.2f) %s\n", ratio, kGoal, ratio <= kGoal ? "met" : "MISSED");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvorun_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
