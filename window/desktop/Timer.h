// The window timer: Interval in milliseconds, Enabled, OnTimer. It ticks
// only while events are dispatched (the main loop or a pumping wait) and
// only while it is enabled, has a non-zero interval and a handler. Turning
// it on (again) starts a full interval.
#pragma once

#include "platform/Component.h"

#include <QObject>
#include <QTimer>

namespace desktop {

class TTimer : public QObject, public platform::TObject {
 public:
  explicit TTimer(QObject* owner);

  std::string Name;

  int Interval() const { return interval_; }
  void SetInterval(int milliseconds);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  const platform::TNotifyEvent& OnTimer() const { return onTimer_; }
  void SetOnTimer(platform::TNotifyEvent handler);

  // True while the underlying timer runs.
  bool Running() const { return timer_.isActive(); }

 private:
  void UpdateTimer();

  QTimer timer_;
  int interval_ = 1000;
  bool enabled_ = true;
  platform::TNotifyEvent onTimer_;
};

}  // namespace desktop
