// The window's header load next to kelvorun's scan, on the same mailbox of
// a private Dovecot on 127.0.0.1 port 110: vandomat's main window, made as
// the program makes it, shown on a private Xvfb, loads the mailbox with its
// header-load action (scan with progress and grid rows, then the check);
// the built kelvorun cleans the same mailbox (rules that mark nothing).
//
// Both scan sessions are timed the same way, by Dovecot's log: from the
// accepted login to the logout of the session that sent a TOP for every
// message. The two alternate round by round after a warm-up of each;
// medians are compared. The in-process time of the whole load action and
// kelvorun's whole run are printed alongside.
//
// Port 110 needs a private network namespace: the program re-runs itself
// through netns-run (as root) unless it already runs inside one.
//
//   window_load_bench [--messages N] [--rounds R]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/Component.h"
#include "spamfilter/DataFiles.h"
#include "window/Upop3.h"
#include "window/desktop/Dialogs.h"
#include "window/desktop/Forms.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kGoal = 1.25;
constexpr const char* kXvfb = "/usr/bin/Xvfb";
constexpr const char* kScreen = "1280x1024x24";
constexpr int kSettleMs = 300;     // events run after showing the window
constexpr int kAfterLoadMs = 100;  // events run after each load, not timed

// A private X server on a display number it picks itself, stopped with
// this object.
class Xvfb {
 public:
  Xvfb() {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const std::string fd = std::to_string(fds[1]);
    std::vector<std::string> args = {kXvfb, "-displayfd", fd, "-screen", "0", kScreen, "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int spawned = ::posix_spawn(&pid_, kXvfb, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
      ::close(fds[0]);
      throw std::runtime_error(std::string("cannot start Xvfb (apt-get install xvfb): ") + std::strerror(spawned));
    }
    // The server writes its display number once it accepts connections.
    std::string number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    display_ = ":" + number;
  }
  ~Xvfb() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;
  const std::string& Display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

void RunEvents(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// The header-load action as a click on the menu item runs it; returns its
// wall time in seconds.
bench::Run Load(Tfrm_Emails* f, int messages, const desktop::TMessageBoxRecorder& boxes) {
  const double cpu0 = bench::SelfCpuSeconds();
  const auto t0 = Clock::now();
  f->A_mailheaderLaden->Execute();
  bench::Run r;
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.cpuSeconds = bench::SelfCpuSeconds() - cpu0;
  RunEvents(kAfterLoadMs);
  if (!boxes.Calls().empty()) throw std::runtime_error("the window showed a box: " + boxes.Texts().front());
  if (GUISession.anzahl != messages || GUISession.veraltet)
    throw std::runtime_error("the window loaded " + std::to_string(GUISession.anzahl) + " entries, expected " +
                             std::to_string(messages));
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  bench::EnsurePrivateNamespace(argv);
  const bench::Options o = bench::ParseOptions(argc, argv, "window_load_bench [--messages N] [--rounds R]");
  const int messages = o.messages;
  try {
    fixtures::DovecotServer server(bench::ServerOptions());
    bench::FillMailbox(server, messages);
    server.Start();
    bench::KelvorunFolder folder;
    Xvfb x;
    ::setenv("DISPLAY", x.Display().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);

    // The window reads the same data files as kelvorun.
    DatenpfadeSetzen(folder.Folder() + "/");
    desktop::TDesktopApplication app(argc, argv);
    platform::Application().Title = kAnwendungsTitel;
    desktop::TMessageBoxRecorder boxes;
    Tfrm_Emails* f = desktop::CreateForm<Tfrm_Emails>();
    f->show();
    RunEvents(kSettleMs);
    boxes.Clear();  // what the start-up reported (no help text) is not the load's
    f->ListBox1->SetItemIndex(0);
    f->ListBox1->Click();
    RunEvents(kSettleMs);

    // Warm-up of both; every run adds one scan session to the log.
    std::size_t sessions = 0;
    Load(f, messages, boxes);
    folder.RunKelvorun(messages);
    sessions += 2;
    bench::AwaitSessions(server, messages, sessions);

    std::vector<double> windowScan, consoleScan, windowAction, consoleRun, windowCpu, consoleCpu;
    auto session = [&](std::vector<double>& into) {
      into.push_back(bench::AwaitSessions(server, messages, ++sessions).back());
    };
    bench::Alternate(
        o.rounds,
        [&] {
          const bench::Run r = Load(f, messages, boxes);
          windowAction.push_back(r.seconds);
          windowCpu.push_back(r.cpuSeconds);
          session(windowScan);
        },
        [&] {
          const bench::Run r = folder.RunKelvorun(messages);
          consoleRun.push_back(r.seconds);
          consoleCpu.push_back(r.cpuSeconds);
          session(consoleScan);
        });
    delete f;

    const double w = bench::Median(windowScan), c = bench::Median(consoleScan);
    std::printf("vandomat's header load vs kelvorun's scan, %d messages, %d rounds, Dovecot on 127.0.0.1:%d, "
                "window on Xvfb %s\n",
                messages, o.rounds, bench::kPop3Port, x.Display().c_str());
    std::printf("%-34s %10s %10s %14s\n", "", "median s", "min s", "CPU/message");
    std::printf("%-34s %10.4f %10.4f\n", "vandomat load (Dovecot's log)", w, bench::Min(windowScan));
    std::printf("%-34s %10.4f %10.4f\n", "kelvorun scan (Dovecot's log)", c, bench::Min(consoleScan));
    std::printf("%-34s %10.4f %10.4f %11.2f us\n", "vandomat load action (in process)", bench::Median(windowAction),
                bench::Min(windowAction), bench::Median(windowCpu) / messages * 1e6);
    std::printf("%-34s %10.4f %10.4f %11.2f us\n", "kelvorun whole run", bench::Median(consoleRun),
                bench::Min(consoleRun), bench::Median(consoleCpu) / messages * 1e6);
    const double ratio = w / c;
    std::printf("ratio window load/console scan: %.3f (goal <= %.2f) %s\n", ratio, kGoal,
                ratio <= kGoal ? "met" : "MISSED");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "window_load_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
