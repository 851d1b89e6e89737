#include "window/desktop/Timer.h"

#include "window/desktop/Events.h"

namespace desktop {

TTimer::TTimer(QObject* owner) : QObject(owner) {
  // A coarse timer may fire up to 5% early; intervals here are exact.
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] { Fire(onTimer_, this); });
}

void TTimer::SetInterval(int milliseconds) {
  if (milliseconds == interval_) return;
  interval_ = milliseconds;
  UpdateTimer();
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  UpdateTimer();
}

void TTimer::SetOnTimer(platform::TNotifyEvent handler) {
  onTimer_ = std::move(handler);
  UpdateTimer();
}

void TTimer::UpdateTimer() {
  timer_.stop();
  if (interval_ > 0 && enabled_ && onTimer_) timer_.start(interval_);
}

}  // namespace desktop
