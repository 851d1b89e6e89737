// The event source under the thread's message queue.
//
// Every wait of the queue ends up here: the queue asks its source to block
// until something can change a waiting step's outcome, and asks it, while
// pumping, to hand over events the queue does not know about itself. The
// contract a source keeps:
//   Wait(sockets, deadline): block until one of the given sockets is ready
//     for its poll() events (revents filled in), Wake() was called since the
//     previous Wait returned, or the deadline passes. A source that owns
//     foreign events (a GUI toolkit) may dispatch them while it blocks.
//   Wake(): callable from any thread; ends the current Wait or the next one.
//   DispatchForeign(): dispatch the foreign events waiting now; no waiting.
//   ResetWake(): forget earlier Wake() calls; the pump calls it before it
//     takes the messages those calls announced (optional).
// The default source uses poll() and an eventfd for Wake(). A GUI program
// installs its own source (socket notifiers, a single-shot timer for the
// deadline, its event loop for the blocking) with SetEventSource; nothing
// above this layer changes. While no step waits, such a program serves the
// queue by calling ProcessMessages() whenever Wake() was called, one of the
// sockets of PendingWaitSet() is ready, or its deadline has come.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

namespace platform {

using Clock = std::chrono::steady_clock;

struct WaitSocket {
  int fd = -1;
  short events = 0;   // poll() bits
  short revents = 0;  // filled in by Wait
};

class EventSource {
 public:
  virtual ~EventSource() = default;
  virtual void Wait(std::vector<WaitSocket>& sockets, std::optional<Clock::time_point> deadline) = 0;
  virtual void Wake() = 0;
  virtual void DispatchForeign() {}
  virtual void ResetWake() {}
};

class PollEventSource : public EventSource {
 public:
  PollEventSource();
  ~PollEventSource() override;
  void Wait(std::vector<WaitSocket>& sockets, std::optional<Clock::time_point> deadline) override;
  void Wake() override;
  void ResetWake() override;

 private:
  int wakeFd_ = -1;
  // Set while the descriptor holds an unread wake, so that a burst of posts
  // costs one write and a pump with nothing posted costs no read.
  std::atomic<bool> wakePending_{false};
  // The thread that waits here. Its own posts need no wake: it is not
  // blocked, and it looks at the queue before it blocks again.
  std::atomic<std::thread::id> waiter_{};
  // The poll list of a wait, kept for the next one: a socket step waits
  // again and again, and none of its waits need allocate. Only the waiting
  // thread touches it.
  std::vector<pollfd> fds_;
};

// The source in use; the poll-based default unless one was installed. For
// the queue's own thread: another thread wakes the source only through
// WakeEventSource.
EventSource& CurrentEventSource();
// nullptr restores the default. Install it before any wait starts, on the
// queue's thread. It returns only once no other thread is still inside the
// replaced source's Wake(), so the caller may free that source right after.
void SetEventSource(EventSource* source);
// Wakes the source in use; callable from any thread (a post from a helper
// thread, such as a host lookup, must not meet a source being replaced).
void WakeEventSource();

// What the queue would wait for now: the sockets whose readiness becomes a
// socket notice, and the due time of the next window timer.
void PendingWaitSet(std::vector<WaitSocket>& sockets, std::optional<Clock::time_point>& nextTimer);

// Blocks until something can change the outcome of a waiting step: a message
// is waiting, a timer is due, a socket notice has become due, one of extra is
// ready, or maxWait has passed (no limit without it). Returns at once when
// one of these already holds. Socket notices found ready are posted before
// it returns; nothing is dispatched.
void WaitForWork(const std::vector<WaitSocket>& extra, std::optional<Clock::duration> maxWait);

}  // namespace platform
