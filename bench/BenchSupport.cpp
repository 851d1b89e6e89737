#include "bench/BenchSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/Runtime.h"
#include "tests/fixtures/MiniPop3Client.h"

extern char** environ;

namespace bench {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kInsideMarker = "KELVO_BENCH_IN_NETNS";
constexpr double kSecondsPerDay = 86400;
constexpr auto kLogWait = std::chrono::seconds(10);
constexpr auto kLogPoll = std::chrono::milliseconds(5);

// No subject holds this, so the deletion pass has nothing to delete.
const std::string kRules = "[SUBJECT]\r\n* KEIN-BETREFF-HAT-DAS\r\n";

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

int ParsePositive(const char* text, const char* what, int limit) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (*end != '\0' || v <= 0 || v > limit) throw std::invalid_argument(std::string("bad ") + what);
  return static_cast<int>(v);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

double TimeOfDay(const std::smatch& m) {
  return std::stod(m[1]) * 3600 + std::stod(m[2]) * 60 + std::stod(m[3]) + std::stod(m[4]) / 1e6;
}

}  // namespace

namespace {

using fixtures::MiniPop3Client;

void Expect(bool ok, const std::string& what, const std::string& reply) {
  if (!ok) throw std::runtime_error("minimal: " + what + ": " + reply);
}

void MinimalLogin(MiniPop3Client& c, int messages, bool quickAck) {
  c.SetQuickAck(quickAck);
  Expect(MiniPop3Client::IsOk(c.Connect("127.0.0.1", kPop3Port)), "greeting", "");
  c.Login(kUser, kPassword);
  Expect(c.StatCount() == messages, "STAT", "");
}

}  // namespace

void MinimalScan(int messages, bool quickAck) {
  MiniPop3Client c;
  MinimalLogin(c, messages, quickAck);
  c.ScanAsKelvorun(messages);
}

void MinimalSecondLogin(int messages, bool quickAck) {
  MiniPop3Client c;
  MinimalLogin(c, messages, quickAck);
  const std::string bye = c.Quit();
  Expect(MiniPop3Client::IsOk(bye), "QUIT", bye);
}

void EnsurePrivateNamespace(char** argv) {
  if (std::getenv(kInsideMarker) != nullptr) return;
  ::setenv(kInsideMarker, "1", 1);
  const std::string netnsRun = KELVO_NETNS_RUN;
  std::vector<char*> args{const_cast<char*>(netnsRun.c_str())};
  for (char** a = argv; *a != nullptr; ++a) args.push_back(*a);
  args.push_back(nullptr);
  ::execv(netnsRun.c_str(), args.data());
  std::fprintf(stderr, "cannot run %s: %s\n", netnsRun.c_str(), std::strerror(errno));
  std::exit(1);
}

Options ParseOptions(int argc, char** argv, const char* usage, Options defaults) {
  Options o = defaults;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--messages" && i + 1 < argc) o.messages = ParsePositive(argv[++i], "--messages", kMaxMessages);
      else if (arg == "--rounds" && i + 1 < argc) o.rounds = std::max(kMinRounds, ParsePositive(argv[++i], "--rounds", 1000));
      else throw std::invalid_argument("unknown argument " + arg);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\nusage: %s\n", e.what(), usage);
    std::exit(2);
  }
  return o;
}

fixtures::DovecotServer::Options ServerOptions() {
  fixtures::DovecotServer::Options o;
  o.port = kPop3Port;
  o.microsecondLog = true;
  return o;
}

void FillMailbox(fixtures::DovecotServer& server, int messages, int headerLines) {
  server.AddUser(kUser, kPassword);
  std::vector<std::string> subjects, senders;
  for (int i = 0; i < 17; ++i) subjects.push_back("Subject line number " + std::to_string(i) + " of the bench");
  for (int i = 0; i < 7; ++i) senders.push_back("Sender " + std::to_string(i) + " <s" + std::to_string(i) + "@bench.test>");
  if (headerLines <= kStandardHeaderLines) {
    server.AddMessages(kUser,
                       fixtures::GenerateMessages(static_cast<std::size_t>(messages), subjects, senders, kMessageSize));
    return;
  }
  // The extra lines, cycled: what relays and filters put into real mail.
  const std::vector<std::string> kinds = {
      "Received: from relay%d.bench.test (relay%d.bench.test [127.0.0.1]) by mx.bench.test (Postfix) with ESMTPS "
      "id 4Q%dXk; Mon, 01 Jan 2024 09:59:58 +0000",
      "X-Spam-Status: No, score=-0.%d required=5.0 tests=BAYES_00,DKIM_SIGNED autolearn=ham version=3.4.6",
      "X-Mailer: Bench Mail Client %d.0",
      "Received: by mail-relay%d.bench.test with SMTP id x%dmr; Mon, 01 Jan 2024 09:59:57 -0800 (PST)",
      "X-Originating-IP: [127.0.0.%d]",
      "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=bench.test; s=sel%d; h=from:to:subject:date",
  };
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(messages));
  for (int i = 0; i < messages; ++i) {
    fixtures::MessageSpec spec;
    spec.subject = subjects[static_cast<std::size_t>(i) % subjects.size()];
    spec.from = senders[static_cast<std::size_t>(i) % senders.size()];
    for (int k = 0; k < headerLines - kStandardHeaderLines; ++k) {
      std::string line = kinds[static_cast<std::size_t>(k) % kinds.size()];
      for (size_t at; (at = line.find("%d")) != std::string::npos;) line.replace(at, 2, std::to_string(k + 1));
      spec.extraHeaders.push_back(std::move(line));
    }
    // A body as the other messages have, beyond the longer header.
    spec.pop3Size = std::max(kMessageSize, fixtures::Pop3Size(fixtures::MakeMessage(spec, i + 1)) + kMessageSize / 2);
    out.push_back(fixtures::MakeMessage(spec, i + 1));
  }
  server.AddMessages(kUser, out);
}

KelvorunFolder::KelvorunFolder() {
  char tmpl[] = "/tmp/kelvo-bench-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("cannot make a program folder");
  dir_ = tmpl;
  fs::copy_file(platform::ProgramFolder() + "kelvorun", Path("kelvorun"));
  WriteFile(Path("Kelvo_Mailboxen.txt"), "[MAILBOXEN]\r\n127.0.0.1 " + std::string(kUser) + " " + kPassword + "\r\n");
  WriteFile(Path("Kelvo_Spamdefs.txt"), kRules);
}

KelvorunFolder::~KelvorunFolder() {
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

Run RunProgram(const std::vector<std::string>& argv, const std::string& out) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!out.empty()) posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addchdir_np(&actions, "/");
  std::vector<std::string> args = argv;
  std::vector<char*> pointers;
  for (std::string& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  const auto t0 = Clock::now();
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, args.front().c_str(), &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + argv.front() + ": " + std::strerror(spawned));
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("wait4 failed");
  Run r;
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  r.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(argv.front() + " failed");
  return r;
}

Run KelvorunFolder::RunKelvorun(int messages, const std::vector<std::string>& launcher) const {
  const std::string out = Path("out.txt");
  Run r;
  std::string failure;
  try {
    std::vector<std::string> argv = launcher;
    argv.push_back(Path("kelvorun"));
    r = RunProgram(argv, out);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  std::ifstream in(out, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  const std::string expected = "Mailheader:..." + std::to_string(messages) + "\r\nViren:0\r\n";
  if (!failure.empty() || text.find(expected) == std::string::npos)
    throw std::runtime_error("kelvorun did not clean the mailbox as expected:\n" + text);
  return r;
}

std::vector<double> SessionSeconds(const std::string& logText, int topCount) {
  static const std::regex login(R"(^(\d\d):(\d\d):(\d\d)\.(\d{6}) pop3-login: Info: Login: .*session=<([^>]+)>)");
  static const std::regex logout(
      R"(^(\d\d):(\d\d):(\d\d)\.(\d{6}) pop3\([^)]*\)<\d+><([^>]+)>: Info: Disconnected: Logged out top=(\d+)/)");
  std::map<std::string, double> started;
  std::vector<double> sessions;
  std::istringstream lines(logText);
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, m, login)) {
      started[m[5]] = TimeOfDay(m);
    } else if (std::regex_search(line, m, logout) && std::stoi(m[6]) == topCount) {
      const auto it = started.find(m[5]);
      if (it == started.end()) continue;
      double d = TimeOfDay(m) - it->second;
      if (d < 0) d += kSecondsPerDay;  // over midnight
      sessions.push_back(d);
    }
  }
  return sessions;
}

std::vector<double> AwaitSessions(const fixtures::DovecotServer& server, int topCount, std::size_t count) {
  const auto deadline = Clock::now() + kLogWait;
  for (;;) {
    std::vector<double> s = SessionSeconds(server.LogText(), topCount);
    if (s.size() >= count) return s;
    if (Clock::now() > deadline)
      throw std::runtime_error("Dovecot's log shows " + std::to_string(s.size()) + " sessions with TOP " +
                               std::to_string(topCount) + " times, expected " + std::to_string(count));
    std::this_thread::sleep_for(kLogPoll);
  }
}

double SelfCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

void Alternate(int rounds, const std::function<void()>& a, const std::function<void()>& b) {
  for (int round = 0; round < rounds; ++round) {
    if (round % 2 == 0) {
      a();
      b();
    } else {
      b();
      a();
    }
  }
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Min(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

}  // namespace bench
