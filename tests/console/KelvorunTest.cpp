// kelvorun as a user runs it: the built binary in a program folder of its
// own, against a real POP3 server on 127.0.0.1 port 110 (inside the private
// network namespace the test runs in), or against a small fake server for
// the replies a real server will not give on demand. Standard output is
// compared byte for byte, the log line by line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/fixtures/DovecotServer.h"
#include "tests/fixtures/MiniPop3Client.h"
#include "tests/fixtures/TempFolder.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr int kPop3Port = 110;
const char* const kHost = "127.0.0.1";
const std::string kFinished = "Auto-Kelvo: ... finished\r\n";
const std::string kRunning = "Auto-Kelvo: running...\r\n";

// A program folder with kelvorun and the data files of one case.
class ProgramFolder : public fixtures::TempFolder {
 public:
  ProgramFolder() : TempFolder("kelvorun-e2e") { fs::copy_file(KELVORUN_BINARY, File("kelvorun")); }
  std::string Path(const std::string& name) const { return File(name); }

  struct Result {
    std::string out;
    int exitCode = -1;
  };
  // Runs from another working directory: the program must find its files by
  // its own folder.
  // With `stdoutPath` the output goes to that file instead of the result.
  Result Run(const std::vector<std::string>& args, const char* stdoutPath = nullptr) const {
    int pipefd[2];
    EXPECT_EQ(::pipe(pipefd), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutPath != nullptr) {
      posix_spawn_file_actions_addopen(&actions, 1, stdoutPath, O_WRONLY, 0);
    } else {
      posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
    }
    posix_spawn_file_actions_addclose(&actions, pipefd[0]);
    posix_spawn_file_actions_addchdir_np(&actions, "/");
    std::string exe = Path("kelvorun");
    std::vector<char*> argv{exe.data()};
    std::vector<std::string> copies(args);
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipefd[1]);
    Result r;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
    ::close(pipefd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
  }

  // Log lines with the leading date and time replaced by "<T>".
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    std::string text = Read("Kelvo_Log.txt");
    static const std::regex stamp(R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)");
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      EXPECT_NE(end, std::string::npos) << "log line without CR LF";
      if (end == std::string::npos) break;
      lines.push_back(std::regex_replace(text.substr(start, end - start), stamp, "<T>",
                                         std::regex_constants::format_first_only));
      start = end + 2;
    }
    return lines;
  }
};

std::string Mailboxes(const std::vector<std::string>& lines) {
  std::string t = "; Testpostfächer\r\n[MAILBOXEN]\r\n";
  for (const auto& l : lines) t += l + "\r\n";
  return t;
}

const std::string kRules =
    "[SUBJECT]\r\n"
    "* LOTTO\r\n"
    "[FROM]\r\n"
    "< SPAM@\r\n"
    "[SIZE]\r\n"
    "OUT 0..100000\r\n";

std::vector<std::string> GoodAndSpam(int good, int lotto, int spamSender) {
  std::vector<std::string> messages;
  int n = 0;
  for (int i = 0; i < good; ++i) {
    fixtures::MessageSpec s;
    s.from = "Anna <anna@example.test>";
    s.subject = "Treffen " + std::to_string(i);
    messages.push_back(fixtures::MakeMessage(s, ++n));
  }
  for (int i = 0; i < lotto; ++i) {
    fixtures::MessageSpec s;
    s.subject = "Ihr Lotto-Gewinn " + std::to_string(i);
    messages.push_back(fixtures::MakeMessage(s, ++n));
  }
  for (int i = 0; i < spamSender; ++i) {
    fixtures::MessageSpec s;
    s.from = "spam@werbung.test";
    s.subject = "Angebot " + std::to_string(i);
    messages.push_back(fixtures::MakeMessage(s, ++n));
  }
  return messages;
}

// Subjects the server still holds, in order, read in a conversation of its own.
std::vector<std::string> SubjectsOnServer(const std::string& host, const std::string& user,
                                          const std::string& password) {
  fixtures::MiniPop3Client c;
  c.Connect(host, kPop3Port);
  c.Login(user, password);
  std::vector<std::string> subjects;
  int count = c.StatCount();
  for (int i = 1; i <= count; ++i) {
    for (const auto& line : c.TopHeader(i).second) {
      if (line.rfind("Subject: ", 0) == 0) subjects.push_back(fixtures::MiniPop3Client::Chomp(line.substr(9)));
    }
  }
  c.Quit();
  return subjects;
}

// A fake POP3 server on 127.0.0.1:110 for replies a real server does not
// give on demand. It serves one mailbox of fixed messages; `onCommand` may
// answer a command itself (return a non-empty reply) or act on it.
class FakePop3Server {
 public:
  using Hook = std::function<std::string(int conversation, const std::string& command)>;
  // A hook's answer that closes the connection in place of a reply.
  static constexpr const char* kClose = "\x01close";

  FakePop3Server(std::vector<std::string> headers, Hook hook) : headers_(std::move(headers)), hook_(std::move(hook)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kPop3Port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 4) != 0) {
      ADD_FAILURE() << "fake server cannot listen on port 110: " << std::strerror(errno);
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakePop3Server() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  // Every command received, "|" between conversations. The server's thread
  // writes the list while the test's may read it.
  std::string Commands() const {
    std::lock_guard<std::mutex> guard(commandsLock_);
    return commands_;
  }

 private:
  void Serve() {
    for (int conversation = 1; !stop_; ++conversation) {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      if (conversation > 1) {
        std::lock_guard<std::mutex> guard(commandsLock_);
        commands_ += "|";
      }
      Converse(fd, conversation);
      ::close(fd);
    }
  }
  void Send(int fd, const std::string& s) { (void)!::write(fd, s.data(), s.size()); }
  void Converse(int fd, int conversation) {
    Send(fd, "+OK fake POP3 ready\r\n");
    std::string buffer;
    char buf[1024];
    for (;;) {
      size_t eol;
      while ((eol = buffer.find("\r\n")) == std::string::npos) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return;
        buffer.append(buf, static_cast<size_t>(n));
      }
      std::string cmd = buffer.substr(0, eol);
      buffer.erase(0, eol + 2);
      {
        std::lock_guard<std::mutex> guard(commandsLock_);
        if (!commands_.empty() && commands_.back() != '|') commands_ += ",";
        commands_ += cmd;
      }
      std::string reply = hook_ ? hook_(conversation, cmd) : "";
      if (reply == kClose) {
        return;
      } else if (!reply.empty()) {
        Send(fd, reply);
      } else if (cmd == "STAT") {
        Send(fd, "+OK " + std::to_string(headers_.size()) + " 1000\r\n");
      } else if (cmd == "LIST ") {
        std::string r = "+OK\r\n";
        for (size_t i = 0; i < headers_.size(); ++i) r += std::to_string(i + 1) + " 500\r\n";
        Send(fd, r + ".\r\n");
      } else if (cmd.rfind("TOP ", 0) == 0) {
        size_t n = std::stoul(cmd.substr(4));
        Send(fd, "+OK\r\n" + headers_.at(n - 1) + "\r\n.\r\n");
      } else if (cmd.rfind("LIST ", 0) == 0) {
        Send(fd, "+OK " + cmd.substr(5) + " 500\r\n");
      } else if (cmd == "QUIT") {
        Send(fd, "+OK bye\r\n");
        return;
      } else {
        Send(fd, "+OK\r\n");
      }
    }
  }

  std::vector<std::string> headers_;
  Hook hook_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex commandsLock_;
  std::string commands_;
};

const std::vector<std::string> kFakeHeaders = {
    "From: anna@example.test\r\nSubject: Hallo",
    "From: spam@werbung.test\r\nSubject: Angebot",
    "From: bob@example.test\r\nSubject: Lotto heute",
};

class Kelvorun : public ::testing::Test {
 protected:
  void StartDovecot(const std::vector<std::pair<std::string, std::vector<std::string>>>& boxes) {
    fixtures::DovecotServer::Options o;
    o.port = kPop3Port;
    dovecot_ = std::make_unique<fixtures::DovecotServer>(o);
    for (const auto& [user, messages] : boxes) {
      dovecot_->AddUser(user, "geheim");
      dovecot_->AddMessages(user, messages);
    }
    dovecot_->Start();
  }
  std::string Defs() const { return "Virendefinitionen: " + folder_.Path("Kelvo_Spamdefs.txt") + "\r\n"; }
  static std::string Block(const std::string& host, int count, int marked) {
    return "Mailbox:" + host + "\r\nMailheader:..." + std::to_string(count) + "\r\nViren:" +
           std::to_string(marked) + "\r\nL\xC3\xB6schen:...gel\xC3\xB6scht\r\n";
  }

  ProgramFolder folder_;
  std::unique_ptr<fixtures::DovecotServer> dovecot_;
};

TEST_F(Kelvorun, GoodRunCleansTheFirstMailboxOnly) {
  StartDovecot({{"anna", GoodAndSpam(9, 2, 1)}, {"bert", GoodAndSpam(1, 1, 0)}});
  folder_.Write("Kelvo_Mailboxen.txt", Mailboxes({"127.0.0.1 anna geheim", "localhost bert geheim"}));
  folder_.Write("Kelvo_Spamdefs.txt", kRules);

  auto r = folder_.Run({});
  EXPECT_EQ(r.out, kRunning + Defs() + Block("127.0.0.1", 12, 3) + kFinished);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(folder_.LogLines(), (std::vector<std::string>{"--- Start ---", "<T>127.0.0.1", "<T> +++: 3"}));

  std::vector<std::string> kept;
  for (int i = 0; i < 9; ++i) kept.push_back("Treffen " + std::to_string(i));
  EXPECT_EQ(SubjectsOnServer(kHost, "anna", "geheim"), kept);
  EXPECT_EQ(SubjectsOnServer(kHost, "bert", "geheim").size(), 2u) << "only the first mailbox runs";
}

TEST_F(Kelvorun, ArgumentsChooseMailboxesInTheirOrderCaseIgnored) {
  StartDovecot({{"anna", GoodAndSpam(2, 1, 0)}, {"bert", GoodAndSpam(1, 0, 1)}, {"carl", GoodAndSpam(1, 0, 0)}});
  folder_.Write("Kelvo_Mailboxen.txt",
                Mailboxes({"127.0.0.1 anna geheim", "localhost bert geheim", "LocalHost carl geheim"}));
  folder_.Write("Kelvo_Spamdefs.txt", kRules);

  // "localhost" names two entries; given twice in two spellings it runs them twice.
  auto r = folder_.Run({"LOCALHOST", "127.0.0.1", "localhost", " 127.0.0.1", "nirgendwo"});
  EXPECT_EQ(r.out, kRunning + Defs() + Block("localhost", 2, 1) + Block("LocalHost", 1, 0) +
                       Block("127.0.0.1", 3, 1) + Block("localhost", 1, 0) + Block("LocalHost", 1, 0) + kFinished);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(folder_.LogLines(),
            (std::vector<std::string>{"--- Start ---", "<T>localhost", "<T> +++: 1", "<T>LocalHost", "<T> +++: 0",
                                      "<T>127.0.0.1", "<T> +++: 1", "<T>localhost", "<T> +++: 0", "<T>LocalHost",
                                      "<T> +++: 0"}));
  EXPECT_EQ(SubjectsOnServer(kHost, "anna", "geheim"), (std::vector<std::string>{"Treffen 0", "Treffen 1"}));
  EXPECT_EQ(SubjectsOnServer(kHost, "bert", "geheim"), (std::vector<std::string>{"Treffen 0"}));
}

TEST_F(Kelvorun, NothingToRun) {
  struct Case {
    const char* name;
    std::string list;
    std::vector<std::string> args;
  } cases[] = {
      {"unknown argument", Mailboxes({"127.0.0.1 anna geheim"}), {"pop.example.test"}},
      {"argument with a blank", Mailboxes({"127.0.0.1 anna geheim"}), {"127.0.0.1 "}},
      {"empty list", Mailboxes({}), {}},
      {"entries outside the section", "127.0.0.1 anna geheim\r\n[ANDERES]\r\n127.0.0.1 x y\r\n", {}},
  };
  folder_.Write("Kelvo_Spamdefs.txt", kRules);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    folder_.Write("Kelvo_Mailboxen.txt", c.list);
    fs::remove(folder_.Path("Kelvo_Log.txt"));
    auto r = folder_.Run(c.args);
    EXPECT_EQ(r.out, kRunning + Defs() + kFinished);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(folder_.LogLines(), (std::vector<std::string>{"--- Start ---"}));
  }
}

TEST_F(Kelvorun, MissingFilesAtStartUp) {
  // Neither the list nor its example (code 1): nothing is logged.
  auto r = folder_.Run({});
  EXPECT_EQ(r.out, kRunning + "+++ Serverliste \r\n" + folder_.Path("Kelvo_Mailboxen.txt") +
                       "\r\n   nicht gefunden\r\n" + kFinished);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_FALSE(folder_.Exists("Kelvo_Log.txt"));

  // Only the example list; no definitions at all (code 2).
  folder_.Write("Kelvo_Mailboxen_Bsp.txt", Mailboxes({"127.0.0.1 anna geheim"}));
  r = folder_.Run({});
  EXPECT_EQ(r.out, kRunning + "Definitionsdatei \r\n-->" + folder_.Path("Kelvo_Spamdefs.txt") +
                       "   nicht gefunden.\r\n" + kFinished);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_FALSE(folder_.Exists("Kelvo_Log.txt"));
}

TEST_F(Kelvorun, ExampleFilesStandInAndTheRealPathIsNamed) {
  StartDovecot({{"anna", GoodAndSpam(1, 1, 0)}});
  folder_.Write("Kelvo_Mailboxen_Bsp.txt", Mailboxes({"127.0.0.1 anna geheim"}));
  folder_.Write("Kelvo_Spamdefs_Bsp.txt", kRules);
  auto r = folder_.Run({});
  EXPECT_EQ(r.out, kRunning + Defs() + Block("127.0.0.1", 2, 1) + kFinished);
  EXPECT_FALSE(folder_.Exists("Kelvo_Spamdefs.txt"));
  EXPECT_FALSE(folder_.Exists("Kelvo_Mailboxen.txt"));
}

TEST_F(Kelvorun, EmptyMailboxStillLogsInForTheDeletion) {
  StartDovecot({{"anna", {}}});
  folder_.Write("Kelvo_Mailboxen.txt", Mailboxes({"127.0.0.1 anna geheim"}));
  folder_.Write("Kelvo_Spamdefs.txt", kRules);
  auto r = folder_.Run({});
  EXPECT_EQ(r.out, kRunning + Defs() + Block("127.0.0.1", 0, 0) + kFinished);
  EXPECT_EQ(folder_.LogLines(), (std::vector<std::string>{"--- Start ---", "<T>127.0.0.1", "<T> +++: 0"}));
}

TEST_F(Kelvorun, DefinitionsVanishingDuringTheRunAreReportedPerMailbox) {
  folder_.Write("Kelvo_Mailboxen.txt", Mailboxes({"127.0.0.1 a pw", "127.0.0.1 b pw", "127.0.0.1 c pw"}));
  folder_.Write("Kelvo_Spamdefs.txt", kRules);
  // The first mailbox's scan removes both definition files on the server side.
  FakePop3Server fake(kFakeHeaders, [&](int conversation, const std::string& cmd) {
    if (conversation == 1 && cmd == "STAT") fs::remove(folder_.Path("Kelvo_Spamdefs.txt"));
    return std::string();
  });
  auto r = folder_.Run({"127.0.0.1"});
  const std::string missing =
      "+++ Fehler:Definitionsdatei \r\n-->" + folder_.Path("Kelvo_Spamdefs.txt") + "   nicht gefunden.\r\n";
  EXPECT_EQ(r.out, kRunning + Defs() + Block("127.0.0.1", 3, 2) + "Mailbox:127.0.0.1\r\n" + missing +
                       "Mailbox:127.0.0.1\r\n" + missing + kFinished);
  EXPECT_EQ(r.exitCode, 0);
  const std::string path = folder_.Path("Kelvo_Spamdefs.txt");
  EXPECT_EQ(folder_.LogLines(),
            (std::vector<std::string>{"--- Start ---", "<T>127.0.0.1", "<T> +++: 2", "<T>127.0.0.1", "<T> +++: 0",
                                      " +++: Definitionsdatei ", "-->" + path + "   nicht gefunden.", "<T>127.0.0.1",
                                      "<T> +++: 0", " +++: Definitionsdatei ", "-->" + path + "   nicht gefunden."}));
}

TEST_F(Kelvorun, LoginAcceptedOnlyAtTheRetryIsRecordedAndTheRunGoesOn) {
  folder_.Write("Kelvo_Mailboxen.txt", Mailboxes({"127.0.0.1 a pw", "127.0.0.1 b pw"}));
  folder_.Write("Kelvo_Spamdefs.txt", kRules);
  int passes = 0;
  FakePop3Server fake(kFakeHeaders, [&](int, const std::string& cmd) {
    // The first PASS of the whole run is rejected, every later one accepted.
    if (cmd.rfind("PASS", 0) == 0 && passes++ == 0) return std::string("-ERR [AUTH] nope\r\n");
    return std::string();
  });
  auto r = folder_.Run({"127.0.0.1"});
  EXPECT_EQ(r.out, kRunning + Defs() + "Mailbox:127.0.0.1\r\nMailheader:...0\r\n+++ Fehler:Konnte nicht verbinden\r\n" +
                       Block("127.0.0.1", 3, 2) + kFinished);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(folder_.LogLines(), (std::vector<std::string>{"--- Start ---", "<T>127.0.0.1", "<T> +++: 0",
                                                          " +++: Konnte nicht verbinden", "<T>127.0.0.1",
                                                          "<T> +++: 2"}));
  // The retried login is logged out at once: no listing in that conversation.
  EXPECT_EQ(fake.Commands().substr(0, fake.Commands().find('|')), "USER a,PASS pw,USER a,PASS pw,STAT,QUIT");
}

// The first mailbox changes between its scan and its deletion pass: its
// message 3 is another one now. The pass deletes message 2 only, the run
// logs the kept one and goes on to the second mailbox, which is cleaned.
TEST_F(Kelvorun, ChangedMailboxIsNoFailureAndTheNextMailboxRuns) {
  folder_.Write("Kelvo_Mailboxen.txt", Mailboxes({"127.0.0.1 a pw", "127.0.0.1 b pw"}));
  folder_.Write("Kelvo_Spamdefs.txt", kRules);
  FakePop3Server fake(kFakeHeaders, [](int conversation, const std::string& cmd) {
    if (conversation == 2 && cmd == "TOP 3 0") return std::string("+OK\r\nFrom: neu@example.test\r\nSubject: Lotto neu\r\n.\r\n");
    return std::string();
  });
  auto r = folder_.Run({"127.0.0.1"});
  EXPECT_EQ(r.out, kRunning + Defs() + Block("127.0.0.1", 3, 2) + Block("127.0.0.1", 3, 2) + kFinished);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(folder_.LogLines(),
            (std::vector<std::string>{"--- Start ---", "<T>127.0.0.1", "<T> +++: 2",
                                      " +++: 1 markierte Mail(s) auf dem Server ge\xC3\xA4ndert, nicht gel\xC3\xB6scht",
                                      "<T>127.0.0.1", "<T> +++: 2"}));
  const std::string scan = "STAT,LIST ,TOP 1 0,LIST 1,TOP 2 0,LIST 2,TOP 3 0,LIST 3,QUIT";
  EXPECT_EQ(fake.Commands(), "USER a,PASS pw," + scan + "|USER a,PASS pw,STAT,TOP 2 0,LIST 2,DELE 2,TOP 3 0,QUIT|USER b,PASS pw," +
                                 scan + "|USER b,PASS pw,STAT,TOP 2 0,LIST 2,DELE 2,TOP 3 0,LIST 3,DELE 3,QUIT");
}

// The run-time's report: class, program, an address, then the message with
// its full stop and an empty line.
std::string Report(const std::string& cls, const std::string& message) {
  return "Exception " + cls + " in Modul kelvorun bei ([0-9A-F]{8})\\.\r\n" + message + "\r\n\r\n";
}

void ExpectOutput(const std::string& out, const std::string& literalHead, const std::string& reportPattern) {
  ASSERT_EQ(out.substr(0, literalHead.size()), literalHead) << out;
  EXPECT_TRUE(std::regex_match(out.substr(literalHead.size()), std::regex(reportPattern))) << out;
}

TEST_F(Kelvorun, FailuresThatEndTheWholeRun) {
  folder_.Write("Kelvo_Spamdefs.txt", kRules);
  {
    SCOPED_TRACE("connection refused: nothing listens on port 110");
    folder_.Write("Kelvo_Mailboxen.txt", Mailboxes({"127.0.0.1 a pw"}));
    auto r = folder_.Run({});
    ExpectOutput(r.out, kRunning + Defs() + "Mailbox:127.0.0.1\r\nMailheader:..." + kFinished,
                 Report("ESockError", "Connection Failed\\."));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(folder_.LogLines(), (std::vector<std::string>{"--- Start ---", "<T>127.0.0.1", "<T> +++: 0"}));
  }
  {
    SCOPED_TRACE("login rejected twice");
    fs::remove(folder_.Path("Kelvo_Log.txt"));
    FakePop3Server fake(kFakeHeaders, [](int, const std::string& cmd) {
      return cmd.rfind("PASS", 0) == 0 ? std::string("-ERR [AUTH] nope\r\n") : std::string();
    });
    auto r = folder_.Run({});
    ExpectOutput(r.out, kRunning + Defs() + "Mailbox:127.0.0.1\r\nMailheader:..." + kFinished,
                 Report("Exception", "Authentication failed\\."));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(fake.Commands(), "USER a,PASS pw,USER a,PASS pw,QUIT");
  }
  {
    SCOPED_TRACE("DELE refused");
    fs::remove(folder_.Path("Kelvo_Log.txt"));
    FakePop3Server fake(kFakeHeaders, [](int conversation, const std::string& cmd) {
      return conversation == 2 && cmd == "DELE 3" ? std::string("-ERR no such message\r\n") : std::string();
    });
    auto r = folder_.Run({});
    ExpectOutput(r.out,
                 kRunning + Defs() + "Mailbox:127.0.0.1\r\nMailheader:...3\r\nViren:2\r\nL\xC3\xB6schen:..." + kFinished,
                 Report("Exception", "-ERR no such message\r\n\\."));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(folder_.LogLines(), (std::vector<std::string>{"--- Start ---", "<T>127.0.0.1", "<T> +++: 2"}));
    // The accepted deletions take effect: QUIT follows the refusal.
    EXPECT_EQ(fake.Commands().substr(fake.Commands().find('|') + 1),
              "USER a,PASS pw,STAT,TOP 2 0,LIST 2,DELE 2,TOP 3 0,LIST 3,DELE 3,QUIT");
  }
}

TEST_F(Kelvorun, FailureInTheSecondOfThreeMailboxesStopsTheRest) {
  StartDovecot({{"anna", GoodAndSpam(1, 1, 0)}, {"carl", GoodAndSpam(1, 1, 0)}});
  // Nothing listens on 127.0.0.2 inside the namespace: that connection is refused.
  folder_.Write("Kelvo_Mailboxen.txt",
                Mailboxes({"127.0.0.1 anna geheim", "127.0.0.2 bert geheim", "localhost carl geheim"}));
  folder_.Write("Kelvo_Spamdefs.txt", kRules);
  auto r = folder_.Run({"127.0.0.1", "127.0.0.2", "localhost"});
  ExpectOutput(r.out,
               kRunning + Defs() + Block("127.0.0.1", 2, 1) + "Mailbox:127.0.0.2\r\nMailheader:..." + kFinished,
               Report("ESockError", "Connection Failed\\."));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(folder_.LogLines(), (std::vector<std::string>{"--- Start ---", "<T>127.0.0.1", "<T> +++: 1",
                                                          "<T>127.0.0.2", "<T> +++: 0"}));
  EXPECT_EQ(SubjectsOnServer(kHost, "anna", "geheim"), (std::vector<std::string>{"Treffen 0"}));
  EXPECT_EQ(SubjectsOnServer(kHost, "carl", "geheim").size(), 2u) << "the third mailbox must not run";
}

TEST_F(Kelvorun, BadSizeBoundEscapesAtStartUp) {
  folder_.Write("Kelvo_Mailboxen.txt", Mailboxes({"127.0.0.1 anna geheim"}));
  folder_.Write("Kelvo_Spamdefs.txt", "[SIZE]\r\nIN 100..3,5\r\n");
  auto r = folder_.Run({});
  ExpectOutput(r.out, kRunning + kFinished,
               Report("EConvertError", "'3,5' ist kein g\xC3\xBCltiger Integerwert\\."));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(folder_.Exists("Kelvo_Log.txt"));
}

TEST_F(Kelvorun, FailedWriteToStandardOutputEndsTheRunWithCode1) {
  StartDovecot({{"anna", GoodAndSpam(1, 1, 0)}});
  folder_.Write("Kelvo_Mailboxen.txt", Mailboxes({"127.0.0.1 anna geheim"}));
  folder_.Write("Kelvo_Spamdefs.txt", kRules);
  auto r = folder_.Run({}, "/dev/full");
  EXPECT_EQ(r.exitCode, 1);
  // The first flush fails before the scan: the mailbox's count line is still logged.
  EXPECT_EQ(folder_.LogLines(), (std::vector<std::string>{"--- Start ---", "<T>127.0.0.1", "<T> +++: 0"}));
  EXPECT_EQ(SubjectsOnServer(kHost, "anna", "geheim").size(), 2u);
}

// ---- odd files, full disks, no /proc, failures that must keep their report ----

// How a case starts the program.
struct Launch {
  std::string cwd = "/";
  std::string argv0;          // empty: the full path
  bool byDescriptor = false;  // started from an open file: no path to look at
  std::optional<std::string> path;  // PATH for the program
  std::optional<rlim_t> fileSizeLimit;
  std::optional<rlim_t> memoryLimit;
};

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer maps its shadow memory past any small address-space
// limit, and it reads its options and runs its leak check through /proc.
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// Starts kelvorun of `folder` as `how` says. A run that has not ended after a
// long while is killed and its output ends in "<stalled>".
ProgramFolder::Result RunAs(const ProgramFolder& folder, const Launch& how) {
  const std::string exe = folder.Path("kelvorun");
  std::string argv0 = how.argv0.empty() ? exe : how.argv0;
  char* argv[] = {argv0.data(), nullptr};
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (!how.path || std::strncmp(*e, "PATH=", 5) != 0) env.emplace_back(*e);
  if (how.path) env.push_back("PATH=" + *how.path);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int program = how.byDescriptor ? ::open(exe.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  int out[2];
  EXPECT_EQ(::pipe(out), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    if (::chdir(how.cwd.c_str()) != 0) ::_exit(126);
    if (how.fileSizeLimit) {
      struct rlimit l {*how.fileSizeLimit, *how.fileSizeLimit};
      ::setrlimit(RLIMIT_FSIZE, &l);
    }
    if (how.memoryLimit) {
      struct rlimit l {*how.memoryLimit, *how.memoryLimit};
      ::setrlimit(RLIMIT_AS, &l);
    }
    if (program >= 0)
      ::fexecve(program, argv, envp.data());
    else
      ::execve(exe.c_str(), argv, envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  if (program >= 0) ::close(program);
  ProgramFolder::Result r;
  pollfd p{out[0], POLLIN, 0};
  for (;;) {
    if (::poll(&p, 1, 60000) <= 0) {
      ::kill(pid, SIGKILL);
      r.out += "<stalled>";
      break;
    }
    char buf[4096];
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    r.out.append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// /proc is hidden while this lives.
class NoProc {
 public:
  NoProc() { EXPECT_EQ(::mount("kelvo-noproc", "/proc", "tmpfs", 0, "size=16k"), 0) << std::strerror(errno); }
  ~NoProc() { ::umount2("/proc", MNT_DETACH); }
};

// Log lines with CR LF, whole; "<torn>" marks a last line without its end.
std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  static const std::regex stamp(R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back("<torn>" + text.substr(start));
      break;
    }
    lines.push_back(std::regex_replace(text.substr(start, end - start), stamp, "<T>",
                                       std::regex_constants::format_first_only));
    start = end + 2;
  }
  return lines;
}

TEST_F(Kelvorun, NoOddFileBlocksTheRunTearsALogLineOrLosesAFailureText) {
  if (!fixtures::PrivateMounts()) GTEST_SKIP() << "needs root: private mount namespace";
  const std::string okOutTail = Block("127.0.0.1", 3, 2) + kFinished;
  const std::vector<std::string> okLog = {"--- Start ---", "<T>127.0.0.1", "<T> +++: 2"};
  // Whole lines that end 5 bytes before a page of the small disk is full.
  const std::string oldLog = fixtures::WholeLines(4096 - 5);

  struct Env {
    const ProgramFolder& folder;
    Launch& launch;
    FakePop3Server::Hook& hook;
    std::string cwd;  // a folder of data files that must play no part
  };
  struct Case {
    const char* name;
    std::function<void(Env&)> prepare;
    // Output: a literal head, then (when given) the report as a pattern.
    std::function<std::string(const ProgramFolder&)> out;
    std::string report;
    int exitCode;
    std::function<void(const ProgramFolder&, const std::string& commands)> check;
  };
  auto normal = [&](const ProgramFolder& f) { return kRunning + "Virendefinitionen: " + f.Path("Kelvo_Spamdefs.txt") + "\r\n" + okOutTail; };
  auto cleaned = [&](const std::vector<std::string>& log) {
    return [=](const ProgramFolder& f, const std::string& commands) {
      // The mailbox was cleaned: both marked messages were deleted.
      EXPECT_NE(commands.find("DELE 2,"), std::string::npos) << commands;
      EXPECT_NE(commands.find("DELE 3,"), std::string::npos) << commands;
      if (!log.empty()) {
        EXPECT_EQ(f.LogLines(), log);
      }
    };
  };
  std::unique_ptr<fixtures::SmallDisk> disk;
  std::unique_ptr<NoProc> noProc;
  const std::string unfound = "Ordner des Programms kelvorun kann nicht ermittelt werden\\.";

  const Case cases[] = {
      {"log is a FIFO that nobody reads",
       [](Env& e) { ::mkfifo(e.folder.Path("Kelvo_Log.txt").c_str(), 0644); }, normal, "", 0,
       [&](const ProgramFolder& f, const std::string& c) {
         cleaned({})(f, c);
         EXPECT_EQ(fixtures::FileKind(f.Path("Kelvo_Log.txt")), "fifo");
       }},
      {"log is a folder", [](Env& e) { ::mkdir(e.folder.Path("Kelvo_Log.txt").c_str(), 0755); }, normal, "", 0,
       [&](const ProgramFolder& f, const std::string& c) {
         cleaned({})(f, c);
         EXPECT_EQ(fixtures::FileKind(f.Path("Kelvo_Log.txt")), "folder");
         EXPECT_TRUE(fs::is_empty(f.Path("Kelvo_Log.txt")));
       }},
      {"log is a link to /dev/zero",
       [](Env& e) { (void)!::symlink("/dev/zero", e.folder.Path("Kelvo_Log.txt").c_str()); }, normal, "", 0,
       cleaned({})},
      {"log is a dangling link: its file is made",
       [](Env& e) { (void)!::symlink("Kelvo_Log_echt.txt", e.folder.Path("Kelvo_Log.txt").c_str()); }, normal, "",
       0,
       [&](const ProgramFolder& f, const std::string& c) {
         cleaned(okLog)(f, c);
         EXPECT_EQ(fixtures::FileKind(f.Path("Kelvo_Log.txt")), "link");
         EXPECT_EQ(LinesOf(f.Read("Kelvo_Log_echt.txt")), okLog);
       }},
      {"log on a full disk keeps whole lines",
       [&](Env& e) {
         disk = std::make_unique<fixtures::SmallDisk>();
         disk->Write("log.txt", oldLog);
         disk->Fill();
         (void)!::symlink(disk->File("log.txt").c_str(), e.folder.Path("Kelvo_Log.txt").c_str());
       },
       normal, "", 0,
       [&](const ProgramFolder& f, const std::string& c) {
         cleaned({})(f, c);
         EXPECT_EQ(f.Read("Kelvo_Log.txt"), oldLog);
         // With room again, the next run's lines start on a line of their own.
         disk->Free();
         FakePop3Server again(kFakeHeaders, nullptr);
         EXPECT_EQ(RunAs(f, Launch{}).out, normal(f));
         std::vector<std::string> expected = LinesOf(oldLog);
         expected.insert(expected.end(), okLog.begin(), okLog.end());
         EXPECT_EQ(LinesOf(f.Read("Kelvo_Log.txt")), expected);
         disk.reset();
       }},
      {"log past the file size limit keeps whole lines",
       [&](Env& e) {
         e.folder.Write("Kelvo_Log.txt", "alt\r\n");
         e.launch.fileSizeLimit = 5 + 20;  // room for "--- Start ---" only
       },
       normal, "", 0, cleaned({"alt", "--- Start ---"})},
      {"log ends in a torn line: the run's lines start on lines of their own",
       [](Env& e) { e.folder.Write("Kelvo_Log.txt", "alt\r\nabgeriss"); }, normal, "", 0,
       cleaned({"alt", "abgeriss", "--- Start ---", "<T>127.0.0.1", "<T> +++: 2"})},
      {"mailbox list is a FIFO: the example stands in",
       [](Env& e) {
         ::unlink(e.folder.Path("Kelvo_Mailboxen.txt").c_str());
         ::mkfifo(e.folder.Path("Kelvo_Mailboxen.txt").c_str(), 0644);
         e.folder.Write("Kelvo_Mailboxen_Bsp.txt", Mailboxes({"127.0.0.1 a pw"}));
       },
       normal, "", 0, cleaned(okLog)},
      {"mailbox list is a folder and there is no example",
       [](Env& e) {
         ::unlink(e.folder.Path("Kelvo_Mailboxen.txt").c_str());
         ::mkdir(e.folder.Path("Kelvo_Mailboxen.txt").c_str(), 0755);
       },
       [](const ProgramFolder& f) {
         return kRunning + "+++ Serverliste \r\n" + f.Path("Kelvo_Mailboxen.txt") + "\r\n   nicht gefunden\r\n" +
                kFinished;
       },
       "", 0, [](const ProgramFolder& f, const std::string&) { EXPECT_FALSE(f.Exists("Kelvo_Log.txt")); }},
      {"definitions are a dangling link: the example stands in",
       [](Env& e) {
         ::unlink(e.folder.Path("Kelvo_Spamdefs.txt").c_str());
         (void)!::symlink("weg.txt", e.folder.Path("Kelvo_Spamdefs.txt").c_str());
         e.folder.Write("Kelvo_Spamdefs_Bsp.txt", kRules);
       },
       normal, "", 0, cleaned(okLog)},
      {"definitions are a FIFO and there is no example",
       [](Env& e) {
         ::unlink(e.folder.Path("Kelvo_Spamdefs.txt").c_str());
         ::mkfifo(e.folder.Path("Kelvo_Spamdefs.txt").c_str(), 0644);
       },
       [](const ProgramFolder& f) {
         return kRunning + "Definitionsdatei \r\n-->" + f.Path("Kelvo_Spamdefs.txt") + "   nicht gefunden.\r\n" +
                kFinished;
       },
       "", 0, nullptr},
      {"no /proc, started by its full path from elsewhere", [&](Env&) { noProc = std::make_unique<NoProc>(); },
       normal, "", 0, cleaned(okLog)},
      {"no /proc, started by a path relative to its working directory",
       [&](Env& e) {
         noProc = std::make_unique<NoProc>();
         const fs::path dir = fs::path(e.folder.Path("kelvorun")).parent_path();
         e.launch.cwd = dir.parent_path().string();
         e.launch.argv0 = "./" + dir.filename().string() + "/kelvorun";
       },
       normal, "", 0, cleaned(okLog)},
      {"no /proc, started by its name along PATH",
       [&](Env& e) {
         noProc = std::make_unique<NoProc>();
         e.launch.byDescriptor = true;
         e.launch.argv0 = "kelvorun";
         e.launch.path = "/nirgends:" + fs::path(e.folder.Path("kelvorun")).parent_path().string();
       },
       normal, "", 0, cleaned(okLog)},
      {"no /proc and no trace of its folder: it says so",
       [&](Env& e) {
         noProc = std::make_unique<NoProc>();
         e.launch.byDescriptor = true;
         e.launch.argv0 = "kelvorun";
         e.launch.path = "/nirgends";
         e.launch.cwd = e.cwd;  // holds data files of its own, which must not be used
       },
       [](const ProgramFolder&) { return kRunning + kFinished; }, Report("Exception", unfound), 1,
       [&](const ProgramFolder& f, const std::string& commands) {
         EXPECT_EQ(commands, "");
         EXPECT_FALSE(f.Exists("Kelvo_Log.txt"));
       }},
      {"definitions larger than the memory",
       [](Env& e) {
         // A sparse file: large, but no disk space.
         ::truncate(e.folder.Path("Kelvo_Spamdefs.txt").c_str(), off_t(1) << 30);
         e.launch.memoryLimit = rlim_t(256) << 20;
       },
       [](const ProgramFolder&) { return kRunning + kFinished; }, Report("EOutOfMemory", "Zu wenig Arbeitsspeicher\\."),
       1, nullptr},
      {"server closes instead of answering QUIT",
       [](Env& e) {
         e.hook = [](int, const std::string& cmd) { return cmd == "QUIT" ? FakePop3Server::kClose : std::string(); };
       },
       [](const ProgramFolder& f) {
         return kRunning + "Virendefinitionen: " + f.Path("Kelvo_Spamdefs.txt") +
                "\r\nMailbox:127.0.0.1\r\nMailheader:..." + kFinished;
       },
       Report("Exception", "Connection closed by server\\."), 1,
       [](const ProgramFolder& f, const std::string&) {
         EXPECT_EQ(f.LogLines(), (std::vector<std::string>{"--- Start ---", "<T>127.0.0.1", "<T> +++: 0"}));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramFolder folder;
    folder.Write("Kelvo_Mailboxen.txt", Mailboxes({"127.0.0.1 a pw"}));
    folder.Write("Kelvo_Spamdefs.txt", kRules);
    ProgramFolder cwd;  // a working directory with a list of its own
    cwd.Write("Kelvo_Mailboxen.txt", Mailboxes({"127.0.0.1 fremd pw"}));
    cwd.Write("Kelvo_Spamdefs.txt", kRules);
    Launch launch;
    FakePop3Server::Hook hook;
    Env env{folder, launch, hook, fs::path(cwd.Path("x")).parent_path().string()};
    c.prepare(env);
    if (kAddressSanitizer && (launch.memoryLimit || noProc)) {
      noProc.reset();
      continue;  // the plain build runs this case
    }
    std::string commands;
    ProgramFolder::Result r;
    {
      FakePop3Server fake(kFakeHeaders, hook);
      r = RunAs(folder, launch);
      noProc.reset();
      commands = fake.Commands();
    }
    if (c.report.empty()) {
      EXPECT_EQ(r.out, c.out(folder));
    } else {
      ExpectOutput(r.out, c.out(folder), c.report);
    }
    EXPECT_EQ(r.exitCode, c.exitCode);
    if (c.check) c.check(folder, commands);
    EXPECT_FALSE(cwd.Exists("Kelvo_Log.txt")) << "the working directory plays no part";
    disk.reset();
  }
}

}  // namespace
