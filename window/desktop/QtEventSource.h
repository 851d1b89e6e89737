// The event source of the desktop program: the socket layer's waits block
// in Qt's event loop, so one pump serves both the socket notices and timers
// of the POP3 clients and the window's events, and a network wait inside a
// click handler keeps the window live.
//
// While a step waits, its sockets are watched by socket notifiers and its
// deadline by a precise timer; Qt events (clicks, paints, the window's own
// timers) are dispatched meanwhile, and may start waits of their own, which
// nest. While no step waits, the thread's message queue is served from Qt's
// loop: whenever Qt is about to block, the pending sockets and the next
// window timer of the queue are watched, and the queue is pumped once one
// of them is due or a message was posted.
#pragma once

#include "platform/EventSource.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <map>
#include <memory>
#include <vector>

namespace desktop {

class TQtEventSource : public QObject, public platform::EventSource {
 public:
  // Sockets watched only for the peer's close are looked at this often;
  // readiness for reading would wake a notifier without end while unread
  // data waits.
  static constexpr int kCloseWatchIntervalMs = 25;
  // While nothing waits, what the queue waits for is looked at again at
  // least this often (and whenever Qt is about to block), so a window timer
  // set without a wake-up is not missed under loops that never block.
  static constexpr int kIdleSyncIntervalMs = 50;
  // The pump of a busy step hands Qt's events out at most this often: a
  // pass of Qt's loop costs more than a short reply, and no one sees a
  // millisecond. Waits that block serve Qt's events as they come.
  static constexpr std::chrono::microseconds kForeignDispatchInterval{1000};

  // Installs itself as the thread's event source; needs a QCoreApplication.
  explicit TQtEventSource(QObject* parent = nullptr);
  // Restores the default source; a wake from another thread (a host
  // lookup's answer) that is under way is finished before this source goes.
  ~TQtEventSource() override;

  void Wait(std::vector<platform::WaitSocket>& sockets,
            std::optional<platform::Clock::time_point> deadline) override;
  void Wake() override;
  void DispatchForeign() override;

  // Waits in progress (nested ones counted).
  int WaitDepth() const { return static_cast<int>(frames_.size()); }
  // How often the queue was pumped while no step waited (for tests).
  int IdleServes() const { return idleServes_; }

 private:
  struct Frame {
    bool activity = false;
  };
  using Key = std::pair<int, QSocketNotifier::Type>;
  struct Entry {
    std::unique_ptr<QSocketNotifier> notifier;
    int users = 0;
  };

  static std::vector<Key> KeysOf(const std::vector<platform::WaitSocket>& sockets,
                                 std::vector<platform::WaitSocket>* closeWatched);
  void Acquire(const std::vector<Key>& keys);
  void Release(const std::vector<Key>& keys);
  void Enable(const std::vector<Key>& keys);
  void Activated(QSocketNotifier* notifier);

  // While nothing waits: watch what the queue waits for, serve it when due.
  void SyncIdle();
  void ScheduleServe();
  void Serve();

  std::vector<Frame*> frames_;
  std::map<Key, Entry> notifiers_;
  std::atomic<bool> woken_{false};
  std::atomic<bool> servePosted_{false};

  std::vector<Key> idleKeys_;
  std::vector<platform::WaitSocket> idleCloseWatched_;
  QTimer idleTimer_;
  QTimer idleCloseTimer_;
  QTimer idleSyncTimer_;
  int idleServes_ = 0;
  std::optional<platform::Clock::time_point> lastForeignDispatch_;
};

// The source InitializeDesktop installed, nullptr before.
TQtEventSource* QtEventSource();

}  // namespace desktop
