#include "platform/EventSource.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <mutex>

namespace platform {

PollEventSource::PollEventSource() { wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

PollEventSource::~PollEventSource() {
  if (wakeFd_ >= 0) close(wakeFd_);
}

void PollEventSource::Wake() {
  if (wakeFd_ < 0 || std::this_thread::get_id() == waiter_.load()) return;
  if (wakePending_.exchange(true)) return;
  uint64_t one = 1;
  // A full counter still leaves the descriptor readable, so a failed write
  // loses nothing.
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void PollEventSource::ResetWake() {
  if (wakeFd_ < 0 || !wakePending_.load()) return;
  uint64_t count;
  [[maybe_unused]] ssize_t r = read(wakeFd_, &count, sizeof count);
  // Cleared only after the read: a wake in between finds the flag set and
  // writes nothing, but its message is already queued for this pump.
  wakePending_ = false;
}

void PollEventSource::Wait(std::vector<WaitSocket>& sockets, std::optional<Clock::time_point> deadline) {
  waiter_ = std::this_thread::get_id();
  std::vector<pollfd>& fds = fds_;
  fds.clear();
  for (auto& s : sockets) {
    s.revents = 0;
    fds.push_back(pollfd{s.fd, s.events, 0});
  }
  fds.push_back(pollfd{wakeFd_, POLLIN, 0});

  for (;;) {
    int timeoutMs = -1;
    if (deadline) {
      auto now = Clock::now();
      if (*deadline <= now) {
        timeoutMs = 0;
      } else {
        // Round up: waking before the deadline would only cost another pass.
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(*deadline - now).count();
        long long ms = (left + 999) / 1000;
        timeoutMs = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
      }
    }
    int n = poll(fds.data(), fds.size(), timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      for (size_t i = 0; i < sockets.size(); ++i) sockets[i].revents = fds[i].revents;
      if (fds.back().revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] ssize_t r = read(wakeFd_, &count, sizeof count);
        wakePending_ = false;
      }
    }
    return;
  }
}

namespace {

// The installed source. Other threads reach it only under the lock, so a
// replacement waits for a wake in progress and no wake meets a freed source.
std::atomic<EventSource*> g_installed{nullptr};
std::mutex& HandOverLock() {
  static auto* lock = new std::mutex();  // lives until the process ends
  return *lock;
}

}  // namespace

EventSource& CurrentEventSource() {
  if (EventSource* source = g_installed.load(std::memory_order_acquire)) return *source;
  static PollEventSource* fallback = new PollEventSource();  // lives until the process ends
  return *fallback;
}

void SetEventSource(EventSource* source) {
  std::lock_guard<std::mutex> guard(HandOverLock());
  g_installed.store(source, std::memory_order_release);
}

void WakeEventSource() {
  std::lock_guard<std::mutex> guard(HandOverLock());
  CurrentEventSource().Wake();
}

}  // namespace platform
