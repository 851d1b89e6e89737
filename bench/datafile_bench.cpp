// Peak memory and time of reading the three data files as the programs do,
// against the file's size: the mailbox list (read and parsed as kelvorun
// does), the spam definitions (read and parsed into a session's rules), and
// the help text (read into the window's rich-text view, as at start-up).
// Each load runs in a child process of its own; its peak resident size comes
// from getrusage of that child, less the peak of a child that only starts
// up the same way. The baseline for time is a plain read of the same file
// in a child of its own, run side by side.
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

// Runs `work` in a child; its peak resident size and its wall time.
Child InChild(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    try {
      work();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "child failed: %s\n", e.what());
      ::_exit(1);
    }
    ::_exit(0);
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

}  // namespace

int main(int argc, char** argv) {
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
  // The help text goes into a real view, which needs a (hidden) application.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  char tmpl[] = "/tmp/kelvo-datafile-bench-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  const std::string file = dir + "/data";

  struct Kind {
    const char* name;
    std::function<std::string(size_t)> make;
    std::function<void(const std::string&)> load;
  } kinds[] = {
      {"mailbox list", MailboxList,
       [](const std::string& p) {
         platform::TStringList zeilen;
         zeilen.LoadFromFile(p);
         tpop3list liste;
         ServerlisteUebernehmen(liste, zeilen);
       }},
      {"definitions", Definitions,
       [](const std::string& p) {
         tMailboxMgmt s;
         VirdefsAusDateiLesen(s, p);
       }},
      {"help text", HelpText,
       [](const std::string& p) {
         desktop::TRichEdit view(nullptr);
         view.LoadFromFile(p);
       }},
  };

  std::printf("%-13s %8s %10s %8s %9s %9s %7s\n", "file", "MiB", "peak MiB", "x size", "time s", "read s",
              "x read");
  for (const Kind& k : kinds) {
    for (size_t mib : sizesMiB) {
      Write(file, k.make(mib * kMiB));
      const double size = static_cast<double>(std::filesystem::file_size(file)) / kMiB;
      const Child idle = InChild([] {});
      const Child read = InChild([&] { (void)platform::ReadWholeFile(file); });
      const Child load = InChild([&] { k.load(file); });
      const double peak = load.peakMiB - idle.peakMiB;
      std::printf("%-13s %8.1f %10.1f %8.2f %9.3f %9.3f %7.1f%s\n", k.name, size, peak, peak / size, load.seconds,
                  read.seconds, load.seconds / read.seconds, load.ok ? "" : "  (load failed)");
      std::fflush(stdout);
    }
  }
  std::filesystem::remove_all(dir);
  return 0;
}
