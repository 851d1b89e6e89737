#include "window/desktop/QtEventSource.h"

#include "platform/Messages.h"
#include "platform/ScopeExit.h"
#include "window/desktop/Events.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include <poll.h>

#include <algorithm>
#include <climits>

namespace desktop {
namespace {

using platform::Clock;
using platform::WaitSocket;

// Fills in revents without waiting; true when any socket is ready.
bool PollNow(std::vector<WaitSocket>& sockets) {
  if (sockets.empty()) return false;
  std::vector<pollfd> fds;
  fds.reserve(sockets.size());
  for (const auto& s : sockets) fds.push_back(pollfd{s.fd, s.events, 0});
  int n;
  do {
    n = ::poll(fds.data(), fds.size(), 0);
  } while (n < 0 && errno == EINTR);
  bool any = false;
  for (size_t i = 0; i < sockets.size(); ++i) {
    sockets[i].revents = n > 0 ? fds[i].revents : 0;
    any = any || sockets[i].revents != 0;
  }
  return any;
}

// Milliseconds until the time point, rounded up: a timer must not end a
// wait before its deadline.
int MsUntil(Clock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(when - Clock::now()).count();
  if (left <= 0) return 0;
  const long long ms = (left + 999) / 1000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

TQtEventSource::TQtEventSource(QObject* parent) : QObject(parent) {
  idleTimer_.setTimerType(Qt::PreciseTimer);
  idleTimer_.setSingleShot(true);
  QObject::connect(&idleTimer_, &QTimer::timeout, this, [this] { ScheduleServe(); });
  idleCloseTimer_.setTimerType(Qt::PreciseTimer);
  idleCloseTimer_.setInterval(kCloseWatchIntervalMs);
  QObject::connect(&idleCloseTimer_, &QTimer::timeout, this, [this] {
    if (frames_.empty() && PollNow(idleCloseWatched_)) ScheduleServe();
  });
  idleSyncTimer_.setInterval(kIdleSyncIntervalMs);
  QObject::connect(&idleSyncTimer_, &QTimer::timeout, this, [this] { SyncIdle(); });
  idleSyncTimer_.start();
  if (auto* dispatcher = QAbstractEventDispatcher::instance()) {
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                     [this] { SyncIdle(); });
  }
  platform::SetEventSource(this);
}

TQtEventSource::~TQtEventSource() {
  platform::SetEventSource(nullptr);
  Release(idleKeys_);
}

std::vector<TQtEventSource::Key> TQtEventSource::KeysOf(const std::vector<WaitSocket>& sockets,
                                                         std::vector<WaitSocket>* closeWatched) {
  std::vector<Key> keys;
  for (const WaitSocket& s : sockets) {
    if (s.fd < 0) continue;
    if (s.events & POLLIN) keys.emplace_back(s.fd, QSocketNotifier::Read);
    if (s.events & POLLOUT) keys.emplace_back(s.fd, QSocketNotifier::Write);
    if (s.events & POLLPRI) keys.emplace_back(s.fd, QSocketNotifier::Exception);
    if ((s.events & POLLRDHUP) && !(s.events & POLLIN) && closeWatched)
      closeWatched->push_back(WaitSocket{s.fd, s.events, 0});
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

void TQtEventSource::Acquire(const std::vector<Key>& keys) {
  for (const Key& key : keys) {
    Entry& entry = notifiers_[key];
    if (!entry.notifier) {
      entry.notifier = std::make_unique<QSocketNotifier>(key.first, key.second);
      QSocketNotifier* n = entry.notifier.get();
      QObject::connect(n, &QSocketNotifier::activated, this, [this, n] { Activated(n); });
    }
    ++entry.users;
    entry.notifier->setEnabled(true);
  }
}

void TQtEventSource::Release(const std::vector<Key>& keys) {
  for (const Key& key : keys) {
    auto it = notifiers_.find(key);
    if (it == notifiers_.end()) continue;
    if (--it->second.users <= 0) notifiers_.erase(it);
  }
}

void TQtEventSource::Enable(const std::vector<Key>& keys) {
  for (const Key& key : keys) {
    auto it = notifiers_.find(key);
    if (it != notifiers_.end()) it->second.notifier->setEnabled(true);
  }
}

void TQtEventSource::Activated(QSocketNotifier* notifier) {
  // A notifier keeps firing while the socket stays ready; it is switched on
  // again only after the socket has been looked at.
  notifier->setEnabled(false);
  for (Frame* f : frames_) f->activity = true;
  if (frames_.empty()) ScheduleServe();
}

void TQtEventSource::Wait(std::vector<WaitSocket>& sockets,
                          std::optional<Clock::time_point> deadline) {
  for (auto& s : sockets) s.revents = 0;
  if (PollNow(sockets)) return;
  if (woken_.exchange(false)) return;
  if (deadline && Clock::now() >= *deadline) return;

  Frame frame;
  std::vector<WaitSocket> closeWatched;
  const std::vector<Key> keys = KeysOf(sockets, &closeWatched);
  frames_.push_back(&frame);
  Acquire(keys);
  // However the wait is left, the frame and its notifiers go with it.
  platform::ScopeExit leave([this, &keys] {
    Release(keys);
    frames_.pop_back();
  });

  QTimer deadlineTimer;
  deadlineTimer.setTimerType(Qt::PreciseTimer);
  deadlineTimer.setSingleShot(true);
  QObject::connect(&deadlineTimer, &QTimer::timeout, [&frame] { frame.activity = true; });
  if (deadline) deadlineTimer.start(MsUntil(*deadline));
  QTimer closeTimer;
  closeTimer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&closeTimer, &QTimer::timeout, [&frame] { frame.activity = true; });
  if (!closeWatched.empty()) closeTimer.start(kCloseWatchIntervalMs);

  for (;;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    if (frame.activity) {
      frame.activity = false;
      if (PollNow(sockets)) break;
      Enable(keys);
    }
    if (woken_.exchange(false)) break;
    if (deadline) {
      if (Clock::now() >= *deadline) break;
      // A timer may come back a little early; the deadline is what counts.
      if (!deadlineTimer.isActive()) deadlineTimer.start(MsUntil(*deadline));
    }
  }

  PollNow(sockets);
  if (frames_.size() == 1) ScheduleServe();  // look at the queue once the step has gone on
}

void TQtEventSource::Wake() {
  woken_ = true;
  // Also from other threads: the posted call wakes Qt's loop.
  ScheduleServe();
}

void TQtEventSource::DispatchForeign() {
  const Clock::time_point now = Clock::now();
  if (lastForeignDispatch_ && now - *lastForeignDispatch_ < kForeignDispatchInterval) return;
  lastForeignDispatch_ = now;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TQtEventSource::ScheduleServe() {
  if (servePosted_.exchange(true)) return;
  QMetaObject::invokeMethod(this, [this] { Serve(); }, Qt::QueuedConnection);
}

void TQtEventSource::Serve() {
  servePosted_ = false;
  // A step that waits sees the work itself, in its own order.
  if (!frames_.empty()) return;
  woken_ = false;
  ++idleServes_;
  Invoke([] { platform::ProcessMessages(); });
  SyncIdle();
}

void TQtEventSource::SyncIdle() {
  if (!frames_.empty()) return;
  std::vector<WaitSocket> sockets;
  std::optional<Clock::time_point> nextTimer;
  platform::PendingWaitSet(sockets, nextTimer);
  if (woken_ || platform::QueuedMessageCount() > 0 || (nextTimer && *nextTimer <= Clock::now())) {
    ScheduleServe();
  }

  std::vector<WaitSocket> closeWatched;
  const std::vector<Key> keys = KeysOf(sockets, &closeWatched);
  if (keys != idleKeys_) {
    Acquire(keys);
    Release(idleKeys_);
    idleKeys_ = keys;
  } else {
    Enable(keys);
  }
  idleCloseWatched_ = std::move(closeWatched);
  if (idleCloseWatched_.empty())
    idleCloseTimer_.stop();
  else if (!idleCloseTimer_.isActive())
    idleCloseTimer_.start();
  if (nextTimer)
    idleTimer_.start(MsUntil(*nextTimer));
  else
    idleTimer_.stop();
}

}  // namespace desktop
