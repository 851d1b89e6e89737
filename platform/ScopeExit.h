// Runs a function when the scope it is declared in ends, however it ends
// (a return or an exception): for state that must be put back on every path.
//
//   platform::ScopeExit timerOff([this] { TimerOff(); });
#pragma once

#include <utility>

namespace platform {

template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};

}  // namespace platform
