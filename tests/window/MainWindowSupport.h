// Helpers of the main window's tests: a program folder of their own for the
// data files, the window made as the program makes it, and waiting while
// the window's events run.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <QtTest>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/Runtime.h"
#include "spamfilter/DataFiles.h"
#include "tests/spamfilter/CoreTestSupport.h"
#include "window/Upop3.h"
#include "window/desktop/Dialogs.h"
#include "window/desktop/Forms.h"

namespace mwtest {

namespace fs = std::filesystem;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A fresh folder that the six data-file paths point at while it lives.
class ProgramFolder : public coretest::ProgramFolder {
 public:
  ProgramFolder() : coretest::ProgramFolder("vandomat-test") {}
  // A file shipped with the programs, copied from the source tree.
  void CopyShipped(const std::string& name) const {
    fs::copy_file(std::string(KELVO_DATA_DIR) + "/" + name, File(name), fs::copy_options::overwrite_existing);
  }
  static std::string Shipped(const std::string& name) {
    return ReadFile(std::string(KELVO_DATA_DIR) + "/" + name);
  }
};

// The window as the program creates it (its start-up runs, a failure there
// goes to the default error dialog), freed when this goes.
class Window {
 public:
  Window() { form_ = desktop::CreateForm<Tfrm_Emails>(); }
  ~Window() {
    delete form_;
    platform::Application().Terminated = false;
  }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  Tfrm_Emails* operator->() const { return form_; }
  Tfrm_Emails* get() const { return form_; }

 private:
  Tfrm_Emails* form_;
};

// Selects list-box item i as a click does.
inline void ClickServer(Tfrm_Emails* f, int i) {
  f->ListBox1->SetItemIndex(i);
  f->ListBox1->Click();
}

// Lets the window's events run until `done` holds or the limit passes.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > limit.count()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QTest::qSleep(1);
  }
  return true;
}

// Lets the window's events run for a while.
inline void RunFor(std::chrono::milliseconds span) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < span.count()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QTest::qSleep(1);
  }
}

// The lines of a memo.
template <class Memo>
std::vector<std::string> LinesOf(const Memo& memo) {
  std::vector<std::string> lines;
  for (int i = 0; i < memo.Lines().Count(); ++i) lines.push_back(memo.Lines()[i]);
  return lines;
}

inline std::string MailboxListe(const std::vector<std::string>& lines) {
  std::string text = "; Postfaecher der Tests\r\n[MAILBOXEN]\r\n";
  for (const auto& l : lines) text += l + "\r\n";
  return text;
}

// The text of the file-open failure as the default error dialog shows it.
inline std::string OpenFailure(const std::string& path) {
  return "Datei " + path + " kann nicht ge\xC3\xB6" "ffnet werden.";
}

}  // namespace mwtest

// QCOMPARE for std::string and vectors of it, with readable failures.
namespace QTest {
template <>
inline char* toString(const std::string& s) {
  return QTest::toString(QString::fromStdString(s));
}
template <>
inline char* toString(const std::vector<std::string>& v) {
  QStringList l;
  for (const auto& s : v) l << QString::fromStdString(s);
  return QTest::toString(l.join(QStringLiteral(" | ")));
}
}  // namespace QTest
