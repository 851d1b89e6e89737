#include "window/desktop/PaintPacer.h"

#include <algorithm>

namespace desktop {

namespace {

TMonotonicClock& ClockSlot() {
  static TMonotonicClock clock;
  return clock;
}

}  // namespace

TMonotonicClock SetPacingClock(TMonotonicClock clock) {
  TMonotonicClock previous = std::move(ClockSlot());
  ClockSlot() = std::move(clock);
  return previous;
}

std::chrono::steady_clock::time_point PacingNow() {
  const TMonotonicClock& clock = ClockSlot();
  return clock ? clock() : std::chrono::steady_clock::now();
}

TPacedControl::~TPacedControl() {
  if (pacer_ != nullptr) pacer_->Remove(this);
}

void TPacedControl::SetPacer(TPaintPacer* pacer) {
  if (pacer == pacer_) return;
  if (pacer_ != nullptr) {
    pacer_->Remove(this);
    PaintHeld();  // nothing written is lost
  }
  pacer_ = pacer;
  if (pacer_ != nullptr) pacer_->Add(this);
}

TPaintPacer::TPaintPacer() {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] {
    if (!owed_) return;
    // The frame is over by the pacing clock, not by the timer alone.
    if (PacingNow() - *lastPaint_ >= kFrame)
      Paint();
    else
      ArmTimer();
  });
}

TPaintPacer::~TPaintPacer() {
  // Controls still paced show what they hold and paint at once again.
  const std::vector<TPacedControl*> controls = controls_;
  for (TPacedControl* c : controls) c->SetPacer(nullptr);
}

void TPaintPacer::Add(TPacedControl* control) {
  if (std::find(controls_.begin(), controls_.end(), control) == controls_.end()) controls_.push_back(control);
}

void TPaintPacer::Remove(TPacedControl* control) {
  controls_.erase(std::remove(controls_.begin(), controls_.end(), control), controls_.end());
}

void TPaintPacer::Changed() {
  if (!lastPaint_ || PacingNow() - *lastPaint_ >= kFrame) {
    Paint();
    return;
  }
  owed_ = true;
  if (!timer_.isActive()) ArmTimer();
}

void TPaintPacer::Flush() {
  if (owed_) Paint();
}

void TPaintPacer::Paint() {
  owed_ = false;
  timer_.stop();
  lastPaint_ = PacingNow();
  ++paints_;
  // A control may leave the pacer while it paints (its paint runs events).
  const std::vector<TPacedControl*> controls = controls_;
  for (TPacedControl* c : controls)
    if (std::find(controls_.begin(), controls_.end(), c) != controls_.end()) c->PaintHeld();
}

void TPaintPacer::ArmTimer() {
  const auto left = kFrame - (PacingNow() - *lastPaint_);
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  timer_.start(static_cast<int>(std::clamp<long long>(ms, 1, kFrame.count())));
}

}  // namespace desktop
