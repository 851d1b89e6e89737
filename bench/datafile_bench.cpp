// Peak memory and time of reading the three data files as the programs do,
// against the file's size: the mailbox list (read and parsed as kelvorun
// does), the spam definitions (read and parsed into a session's rules), and
// the help text (read into the window's rich-text view, as at start-up).
// Each load runs in a fresh process of its own; its peak resident size comes
// from getrusage of that child, less the peak of a child that only starts
// up the same way (times likewise). The baseline for time is a plain read of
// the same file in a process of its own, run side by side.
//
//   datafile_bench [--sizes MB,MB,...]    (default 25,50,100,200)
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/Runtime.h"
#include "platform/StringList.h"
#include "platform/TextFile.h"
#include "spamfilter/DataFiles.h"
#include "spamfilter/Rules.h"
#include "window/desktop/Memos.h"

namespace {

constexpr size_t kMiB = 1024 * 1024;

struct Child {
  double peakMiB = 0;
  double seconds = 0;
  bool ok = false;
};

// Runs this program again as `datafile_bench --child KIND FILE`: a fresh
// process, so nothing of this one's heap counts. Its peak resident size and
// its wall time.
Child InChild(const std::string& kind, const std::string& file) {
  const std::string self = platform::ProgramFolder() + platform::ProgramFileName();
  std::vector<std::string> args = {self, "--child", kind, file};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::execv(self.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage ru {};
  ::wait4(pid, &status, 0, &ru);
  Child c;
  c.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  c.peakMiB = static_cast<double>(ru.ru_maxrss) / 1024.0;  // KiB on Linux
  c.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return c;
}

std::string MailboxList(size_t bytes) {
  std::string t = "; Postfaecher\r\n[MAILBOXEN]\r\n";
  char line[128];
  for (unsigned i = 0; t.size() < bytes; ++i) {
    std::snprintf(line, sizeof line, "pop%u.example.test benutzer.%u@example.test geheim%u\r\n", i % 1000, i, i);
    t += line;
  }
  return t;
}

std::string Definitions(size_t bytes) {
  std::string t;
  const char* const sections[] = {"[SUBJECT]", "[FROM]", "[SCRAMBLE-SUBJECT]", "[SIZE]"};
  char line[128];
  for (unsigned i = 0; t.size() < bytes; ++i) {
    if (i % 1000 == 0) (t += sections[(i / 1000) % 4]) += "\r\n";
    if ((i / 1000) % 4 == 3)
      std::snprintf(line, sizeof line, "OUT %u..%u\r\n", i, i + 100000);
    else
      std::snprintf(line, sizeof line, "* werbewort nummer %u\r\n", i);
    t += line;
  }
  return t;
}

std::string HelpText(size_t bytes) {
  std::string t = "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fswiss Arial;}{\\f1\\fmodern Courier New;}}"
                  "{\\colortbl;\\red255\\green0\\blue0;}\\f0\\fs20\r\n";
  char para[256];
  for (unsigned i = 0; t.size() < bytes; ++i) {
    std::snprintf(para, sizeof para,
                  "\\pard Absatz %u mit {\\b fettem} Text, {\\i kursiv}, \\'e4\\'f6\\'fc und "
                  "{\\cf1\\f1 Code %u}.\\par\r\n",
                  i, i);
    t += para;
  }
  return t + "}";
}

void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// The loads, as the programs do them.
int Load(const std::string& kind, const std::string& file, int argc, char** argv) {
  // The help text goes into a real view, which needs a (hidden) application;
  // every kind starts one, so that the baselines match.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  try {
    if (kind == "read") {
      (void)platform::ReadWholeFile(file);
    } else if (kind == "mailbox list") {
      tpop3list liste;
      ServerlisteAusDatei(liste, file);
    } else if (kind == "definitions") {
      tMailboxMgmt s;
      VirdefsAusDateiLesen(s, file);
    } else if (kind == "help text") {
      desktop::TRichEdit view(nullptr);
      view.LoadFromFile(file);
    } else if (kind != "idle") {
      return 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", kind.c_str(), e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return Load(argv[2], argv[3], argc, argv);
  std::vector<size_t> sizesMiB = {25, 50, 100, 200};
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--sizes") == 0) {
      sizesMiB.clear();
      for (const char* p = argv[i + 1]; *p != '\0';) {
        sizesMiB.push_back(std::strtoul(p, const_cast<char**>(&p), 10));
        if (*p == ',') ++p;
      }
    }
  }
  char tmpl[] = "/tmp/kelvo-datafile-bench-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  const std::string file = dir + "/data";

  struct Kind {
    const char* name;
    std::function<std::string(size_t)> make;
  } kinds[] = {{"mailbox list", MailboxList}, {"definitions", Definitions}, {"help text", HelpText}};

  std::printf("peak: resident size of the load's process less that of one that only starts up\n");
  std::printf("%-13s %8s %10s %8s %9s %9s %7s\n", "file", "MiB", "peak MiB", "x size", "time s", "read s",
              "x read");
  for (const Kind& k : kinds) {
    for (size_t mib : sizesMiB) {
      Write(file, k.make(mib * kMiB));
      const double size = static_cast<double>(std::filesystem::file_size(file)) / kMiB;
      const Child idle = InChild("idle", file);
      const Child read = InChild("read", file);
      const Child load = InChild(k.name, file);
      const double peak = load.peakMiB - idle.peakMiB;
      const double readTime = read.seconds - idle.seconds;
      const double loadTime = load.seconds - idle.seconds;
      std::printf("%-13s %8.1f %10.1f %8.2f %9.3f %9.3f %7.1f%s\n", k.name, size, peak, peak / size, loadTime,
                  readTime, loadTime / readTime, load.ok ? "" : "  (load failed)");
      std::fflush(stdout);
    }
  }
  std::filesystem::remove_all(dir);
  return 0;
}
