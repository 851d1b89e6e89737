// The main window meets odd data files: FIFOs, folders, dangling links,
// links to files elsewhere, a full disk, too little memory, an unknown
// program folder. Nothing may block; the start-up reports the first failure
// and the window opens; saving through a link replaces the linked file;
// a timed run goes on and its log keeps whole lines.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QtTest>

#include <cerrno>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>

#include "platform/Component.h"
#include "pop3client/Pop3Client.h"
#include "tests/fixtures/DovecotServer.h"
#include "tests/fixtures/TempFolder.h"
#include "tests/window/MainWindowSupport.h"
#include "window/Upop3.h"
#include "window/desktop/Dialogs.h"
#include "window/desktop/Forms.h"

using mwtest::ClickServer;
using mwtest::ProgramFolder;
using mwtest::Window;

namespace {

const std::string kListe = mwtest::MailboxListe({"127.0.0.1 anna pw-anna", "pop.zwei.test bernd pw2",
                                                 "pop.drei.test clara pw3"});
const std::string kDefs = "[SUBJECT]\r\n* lotto\r\n";
constexpr int kMinuteMs = 50;  // one batch "minute" here

// Whole lines that end 5 bytes before a page of the small disk is full.
std::string OldLog() { return fixtures::WholeLines(4096 - 5); }

// Room for `bytes` more of address space than the process has now.
class MemoryLimit {
 public:
  explicit MemoryLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_AS, &old_);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    struct rlimit small = old_;
    small.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + bytes;
    ::setrlimit(RLIMIT_AS, &small);
  }
  ~MemoryLimit() { ::setrlimit(RLIMIT_AS, &old_); }

 private:
  struct rlimit old_ {};
};

// What a case sets up before the window is made, and what it does after.
struct Env {
  ProgramFolder& dir;
  std::unique_ptr<fixtures::SmallDisk>& disk;
  std::unique_ptr<MemoryLimit>& memory;
};

struct Case {
  const char* name;
  bool needsRoot;
  std::function<void(Env&)> prepare;
  std::function<std::vector<std::string>(const ProgramFolder&)> startDialogs;
  int listed;  // list-box entries after the start-up
  bool started;  // "Start" on the log page: the start-up ran to its end
  // After the start-up: an action, and what it must leave.
  std::function<void(Env&, Tfrm_Emails*, desktop::TMessageBoxRecorder&)> then;
};

std::vector<std::string> None(const ProgramFolder&) { return {}; }
std::function<std::vector<std::string>(const ProgramFolder&)> OpenFails(const std::string& name) {
  return [name](const ProgramFolder& d) { return std::vector<std::string>{mwtest::OpenFailure(d.File(name))}; };
}

void FileAt(const ProgramFolder& dir, const std::string& name, const std::function<void(const std::string&)>& make) {
  std::filesystem::remove(dir.File(name));
  make(dir.File(name));
}
auto Fifo = [](const std::string& p) { ::mkfifo(p.c_str(), 0644); };
auto Folder = [](const std::string& p) { ::mkdir(p.c_str(), 0755); };
auto Dangling = [](const std::string& p) { (void)!::symlink("weg.txt", p.c_str()); };

// One timed run of the batch mode on the first mailbox; true once its line
// is on the batch page.
bool OneTimedRun(Tfrm_Emails* f) {
  ClickServer(f, 0);
  f->mm_p_batch->Click();
  f->batch_delInterval->SetValue(1);
  f->mm_p_batchStartStop->Click();
  const bool ran = mwtest::WaitFor([&] { return f->batch_protokoll->Lines().Count() >= 1; });
  f->mm_p_batchStartStop->Click();
  return ran;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"help text is a FIFO", false, [](Env& e) { FileAt(e.dir, "Kelvo_Info.rtf", Fifo); },
       OpenFails("Kelvo_Info.rtf"), 3, false, nullptr},
      {"help text is a folder", false, [](Env& e) { FileAt(e.dir, "Kelvo_Info.rtf", Folder); },
       OpenFails("Kelvo_Info.rtf"), 3, false, nullptr},
      {"help text is a dangling link", false, [](Env& e) { FileAt(e.dir, "Kelvo_Info.rtf", Dangling); },
       OpenFails("Kelvo_Info.rtf"), 3, false, nullptr},
      {"mailbox list is a FIFO: the example stands in", false,
       [](Env& e) {
         FileAt(e.dir, "Kelvo_Mailboxen.txt", Fifo);
         e.dir.CopyShipped("Kelvo_Mailboxen_Bsp.txt");
       },
       None, 2, true, nullptr},
      {"definitions are a folder and there is no example", false,
       [](Env& e) { FileAt(e.dir, "Kelvo_Spamdefs.txt", Folder); }, OpenFails("Kelvo_Spamdefs_Bsp.txt"), 3, false,
       nullptr},
      {"help text larger than the memory", false,
       [](Env& e) {
         // A sparse file: large, but no disk space.
         ::truncate(e.dir.File("Kelvo_Info.rtf").c_str(), off_t(1) << 30);
         e.memory = std::make_unique<MemoryLimit>(rlim_t(256) << 20);
       },
       [](const ProgramFolder&) { return std::vector<std::string>{"Zu wenig Arbeitsspeicher."}; }, 3, false,
       nullptr},
      {"lists saved through links replace the linked files", false,
       [](Env& e) {
         std::filesystem::create_directory(e.dir.File("echt"));
         e.dir.Write("echt/liste.txt", kListe);
         e.dir.Write("echt/defs.txt", kDefs);
         ::chmod(e.dir.File("echt/liste.txt").c_str(), 0640);
         ::chmod(e.dir.File("echt/defs.txt").c_str(), 0604);
         FileAt(e.dir, "Kelvo_Mailboxen.txt", [](const std::string& p) { (void)!::symlink("echt/liste.txt", p.c_str()); });
         FileAt(e.dir, "Kelvo_Spamdefs.txt", [&](const std::string& p) {
           (void)!::symlink(e.dir.File("echt/defs.txt").c_str(), p.c_str());
         });
       },
       None, 3, true,
       [](Env& e, Tfrm_Emails* f, desktop::TMessageBoxRecorder& boxes) {
         f->m_Serverliste->Lines().Add("pop.vier.test dora pw4");
         f->mm_d_speserverliste->Click();
         f->M_virdefs->Lines().Add("* gewinn");
         f->mm_vd_speichern->Click();
         QVERIFY(boxes.Calls().empty());
         QCOMPARE(fixtures::FileKind(e.dir.File("Kelvo_Mailboxen.txt")), std::string("link"));
         QCOMPARE(fixtures::FileKind(e.dir.File("Kelvo_Spamdefs.txt")), std::string("link"));
         QCOMPARE(e.dir.Read("echt/liste.txt"), f->m_Serverliste->Text());
         QCOMPARE(e.dir.Read("echt/defs.txt"), f->M_virdefs->Text());
         QVERIFY(e.dir.Read("echt/defs.txt").find("* gewinn") != std::string::npos);
         QCOMPARE(e.dir.Mode("echt/liste.txt"), 0640u);
         QCOMPARE(e.dir.Mode("echt/defs.txt"), 0604u);
         QCOMPARE(f->ListBox1->Count(), 4);
         std::vector<std::string> names;
         for (const auto& x : std::filesystem::directory_iterator(e.dir.File("echt")))
           names.push_back(x.path().filename().string());
         std::sort(names.begin(), names.end());
         QCOMPARE(names, (std::vector<std::string>{"defs.txt", "liste.txt"}));
       }},
      {"saving on a full disk keeps the old file", true,
       [](Env& e) {
         e.disk = std::make_unique<fixtures::SmallDisk>("vandomat-full");
         e.disk->Write("liste.txt", kListe);
         FileAt(e.dir, "Kelvo_Mailboxen.txt",
                [&](const std::string& p) { (void)!::symlink(e.disk->File("liste.txt").c_str(), p.c_str()); });
         e.disk->Fill();
       },
       None, 3, true,
       [](Env& e, Tfrm_Emails* f, desktop::TMessageBoxRecorder& boxes) {
         f->m_Serverliste->Lines().Add(std::string(8192, ';'));
         f->mm_d_speserverliste->Click();
         QCOMPARE(boxes.Texts(), (std::vector<std::string>{"Datei " + e.dir.File("Kelvo_Mailboxen.txt") +
                                                          " kann nicht erstellt werden."}));
         QCOMPARE(e.disk->Read("liste.txt"), kListe);
         QCOMPARE(e.disk->Names(), (std::vector<std::string>{"filler", "liste.txt"}));
       }},
      {"timed run with a FIFO as the log", false, [](Env& e) { FileAt(e.dir, "Kelvo_Log.txt", Fifo); }, None, 3,
       true,
       [](Env& e, Tfrm_Emails* f, desktop::TMessageBoxRecorder& boxes) {
         QVERIFY(OneTimedRun(f));
         QVERIFY(boxes.Calls().empty());
         QVERIFY(f->batch_protokoll->Lines()[0].find(" +++: 1") != std::string::npos);
         QCOMPARE(fixtures::FileKind(e.dir.File("Kelvo_Log.txt")), std::string("fifo"));
       }},
      {"timed run with the log on a full disk", true,
       [](Env& e) {
         e.disk = std::make_unique<fixtures::SmallDisk>("vandomat-full");
         e.disk->Write("log.txt", OldLog());
         FileAt(e.dir, "Kelvo_Log.txt",
                [&](const std::string& p) { (void)!::symlink(e.disk->File("log.txt").c_str(), p.c_str()); });
         e.disk->Fill();
       },
       None, 3, true,
       [](Env& e, Tfrm_Emails* f, desktop::TMessageBoxRecorder& boxes) {
         QVERIFY(OneTimedRun(f));
         QVERIFY(boxes.Calls().empty());
         QVERIFY(f->batch_protokoll->Lines()[0].find(" +++: 1") != std::string::npos);
         QCOMPARE(e.disk->Read("log.txt"), OldLog());
       }},
  };
  return cases;
}

// The argument that makes this program show the window once and print
// what its start-up showed, instead of running the tests.
constexpr const char* kStartUpReport = "--start-up-report";

// The window's start-up in this process: its dialogs, the list box, the
// last line on the log page and both list editors.
std::string StartUpReport() {
  desktop::TMessageBoxRecorder boxes;
  Window f;
  std::string report;
  for (const std::string& text : boxes.Texts()) report += "dialog: " + text + "\n";
  report += "listed: " + std::to_string(f->ListBox1->Count()) + "\n";
  report += "log: " + mwtest::LinesOf(*f->M_protokoll).back() + "\n";
  report += "mailboxes: " + f->m_Serverliste->Text() + "\n";
  report += "rules: " + f->M_virdefs->Text() + "\n";
  return report;
}

// This program started in `cwd` with no trace of its folder: /proc hidden
// (a mount namespace of the child's own, so needs root), started from an
// open file by its bare name, along a PATH that does not lead to it. Returns
// its start-up report and exit code; "<stalled>" when it does not end.
std::string StartUpWithoutItsFolder(const std::string& cwd) {
  std::string name = platform::ProgramFileName();
  std::string marker = kStartUpReport;
  char* argv[] = {name.data(), marker.data(), nullptr};
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "PATH=", 5) != 0) env.emplace_back(*e);
  env.push_back("PATH=/nirgends");
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int program = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  int out[2];
  if (program < 0 || ::pipe(out) != 0) return "no program file or pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("kelvo-noproc", "/proc", "tmpfs", 0, "size=16k") != 0)
      ::_exit(125);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::fexecve(program, argv, envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(program);
  std::string report;
  pollfd p{out[0], POLLIN, 0};
  for (;;) {
    if (::poll(&p, 1, 60000) <= 0) {
      ::kill(pid, SIGKILL);
      report += "<stalled>";
      break;
    }
    char buf[4096];
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    report.append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return report + "exit: " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "\n";
}

}  // namespace

class MainWindowFilesTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { Tfrm_Emails::SetMillisecondsPerMinuteForTests(kMinuteMs); }
  void cleanup() { Tfrm_Emails::SetMillisecondsPerMinuteForTests(kMillisekundenJeMinute); }

  void oddFilesNeitherBlockNorBreak_data() {
    QTest::addColumn<int>("index");
    for (size_t i = 0; i < Cases().size(); ++i) QTest::newRow(Cases()[i].name) << static_cast<int>(i);
  }
  void oddFilesNeitherBlockNorBreak() {
    QFETCH(int, index);
    const Case& c = Cases()[static_cast<size_t>(index)];
    if (c.needsRoot && !fixtures::PrivateMounts()) QSKIP("needs root: private mount namespace");
    fixtures::DovecotServer server;
    server.AddUser("anna", "pw-anna");
    fixtures::MessageSpec spec;
    spec.subject = "Ihr Lotto-Gewinn";
    server.AddMessage("anna", fixtures::MakeMessage(spec, 1));
    server.Start();

    ProgramFolder dir;
    dir.Write("Kelvo_Mailboxen.txt", kListe);
    dir.Write("Kelvo_Spamdefs.txt", kDefs);
    dir.CopyShipped("Kelvo_Info.rtf");
    std::unique_ptr<fixtures::SmallDisk> disk;  // a failed mount throws
    std::unique_ptr<MemoryLimit> memory;
    Env env{dir, disk, memory};
    c.prepare(env);
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer ends the program at an allocation past a small
    // address-space limit instead of failing it; the plain build runs this.
    if (memory) QSKIP("plain build only: the address sanitizer cannot run under a small address-space limit");
#endif
    serverliste = tpop3list{};
    GUISession.virdefs.resize(1);
    desktop::TMessageBoxRecorder boxes;
    {
      Window f;
      memory.reset();
      QCOMPARE(boxes.Texts(), c.startDialogs(dir));
      QCOMPARE(f->ListBox1->Count(), c.listed);
      const std::vector<std::string> log = mwtest::LinesOf(*f->M_protokoll);
      QCOMPARE(log.back(), std::string(c.started ? "Start" : "M_protokoll"));
      boxes.Clear();
      GUISession.pop3->Port = server.Port();
      BatchSession.pop3->Port = server.Port();
      if (c.then) c.then(env, f.get(), boxes);
    }
  }

  // Where its folder cannot be found, the window says so and shows no
  // list and no rules; the working directory, which holds a list and rules
  // of its own, plays no part.
  void unknownProgramFolderUsesNoWorkingDirectory() {
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("plain build only: the address sanitizer cannot start without /proc");
#endif
    if (!fixtures::PrivateMounts()) QSKIP("needs root: private mount namespace");
    fixtures::TempFolder cwd("vandomat-cwd");
    cwd.Write("Kelvo_Mailboxen.txt", mwtest::MailboxListe({"pop.fremd.test fremd pw"}));
    cwd.Write("Kelvo_Spamdefs.txt", "[SUBJECT]\r\n* fremd\r\n");
    QCOMPARE(StartUpWithoutItsFolder(cwd.Path()),
             "dialog: Ordner des Programms " + platform::ProgramFileName() +
                 " kann nicht ermittelt werden.\n"
                 "listed: 0\nlog: M_protokoll\nmailboxes: \nrules: \nexit: 0\n");
    QCOMPARE(cwd.Names(), (std::vector<std::string>{"Kelvo_Mailboxen.txt", "Kelvo_Spamdefs.txt"}));
  }
};

int main(int argc, char** argv) {
  desktop::TDesktopApplication app(argc, argv);
  platform::Application().Title = kAnwendungsTitel;
  if (argc == 2 && std::strcmp(argv[1], kStartUpReport) == 0) {
    std::cout << StartUpReport() << std::flush;
    return 0;
  }
  MainWindowFilesTest test;
  return QTest::qExec(&test, argc, argv);
}
#include "MainWindowFilesTest.moc"
