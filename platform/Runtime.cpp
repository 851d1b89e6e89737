#include "platform/Runtime.h"

#include <unistd.h>

#include <climits>
#include <cstdio>

namespace platform {

namespace {

std::string ExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

std::string ProgramFolder() {
  std::string exe = ExecutablePath();
  auto slash = exe.find_last_of('/');
  if (slash == std::string::npos) return "./";
  return exe.substr(0, slash + 1);
}

std::string ProgramFileName() {
  std::string exe = ExecutablePath();
  auto slash = exe.find_last_of('/');
  return slash == std::string::npos ? exe : exe.substr(slash + 1);
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
