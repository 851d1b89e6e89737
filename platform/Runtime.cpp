#include "platform/Runtime.h"

#include <errno.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace platform {

namespace {

std::string WorkingDirectory() {
  char buf[PATH_MAX];
  return ::getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string();
}

bool IsProgramFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// `path` with its links and dots resolved, as the system names the file.
std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

// The program file that a start by `name` ran: a name with a folder is taken
// against the working directory the program started in, a bare name is
// searched along PATH as the shell did.
std::string ProgramFileOf(std::string_view name, const std::string& startFolder) {
  if (name.empty()) return {};
  auto absolute = [&](std::string_view p) {
    return p.front() == '/' ? std::string(p) : startFolder + "/" + std::string(p);
  };
  if (name.find('/') != std::string_view::npos) {
    std::string path = absolute(name);
    return IsProgramFile(path) ? RealPath(path) : std::string();
  }
  const char* env = std::getenv("PATH");
  std::string_view dirs = env != nullptr ? env : "";
  while (true) {
    size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    std::string path = absolute(dir.empty() ? std::string_view(".") : dir) + "/" + std::string(name);
    if (IsProgramFile(path)) return RealPath(path);
    if (colon == std::string_view::npos) return {};
    dirs.remove_prefix(colon + 1);
  }
}

// The running program's file, found once, while the working directory is
// still the one the program started in.
const std::string& ExecutablePath() {
  static const std::string path = [] {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) return std::string(buf, static_cast<size_t>(n));
    // Without /proc: the path the program was started by, then its name.
    const std::string startFolder = WorkingDirectory();
    if (startFolder.empty()) return std::string();
    const char* started = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
    std::string found = ProgramFileOf(started != nullptr ? started : "", startFolder);
    if (found.empty()) found = ProgramFileOf(program_invocation_name, startFolder);
    return found;
  }();
  return path;
}

// Runs while the program starts, before anything can change the working
// directory.
[[maybe_unused]] const bool kGefunden = (ExecutablePath(), true);

}  // namespace

std::string ProgramFolder() {
  const std::string& exe = ExecutablePath();
  auto slash = exe.find_last_of('/');
  if (slash == std::string::npos) return {};
  return exe.substr(0, slash + 1);
}

std::string ProgramFileName() {
  std::string_view exe = ExecutablePath();
  if (exe.empty()) exe = program_invocation_name;
  auto slash = exe.find_last_of('/');
  return std::string(slash == std::string_view::npos ? exe : exe.substr(slash + 1));
}

std::string DateTimeToStr(std::time_t t) {
  std::tm tm {};
  ::localtime_r(&t, &tm);
  char buf[64];  // room for any int the formatter could see
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string NowText() { return DateTimeToStr(std::time(nullptr)); }

}  // namespace platform
