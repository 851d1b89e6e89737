// Paints of fast-changing progress at screen rate. A person sees no more
// than the screen shows, while painting synchronously for every message of
// a scan costs several writes and round trips to the display each.
//
// The first change paints at once, so the display moves at once; further
// changes within the same frame are only recorded, and what they left is
// painted once the frame is over: at the next change, by a timer while
// events run (a long network wait), or at Flush, which the end of every
// step of an operation calls so that its last state always shows.
//
// Controls take part through SetPacer (the status bar, the string grid):
// while paced they hold their paints back and tell the pacer of each
// change; the pacer's paint calls PaintHeld on each of them.
#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

namespace desktop {

// The monotonic clock that pacing reads. Tests put their own in its place,
// so that whether a paint falls into the same frame never depends on the
// speed of the machine.
using TMonotonicClock = std::function<std::chrono::steady_clock::time_point()>;
// Replaces the clock (an empty one brings the steady clock back) and
// returns the one that was there.
TMonotonicClock SetPacingClock(TMonotonicClock clock);
std::chrono::steady_clock::time_point PacingNow();

class TPaintPacer;

// A control whose paints a pacer holds back.
class TPacedControl {
 public:
  virtual ~TPacedControl();
  // While a pacer is set, the control holds its paints back and tells the
  // pacer of each change; nullptr paints at once again, after showing what
  // it held.
  void SetPacer(TPaintPacer* pacer);
  TPaintPacer* Pacer() const { return pacer_; }
  // Paints what changed since its last paint, now; nothing when nothing did.
  virtual void PaintHeld() = 0;

 private:
  TPaintPacer* pacer_ = nullptr;
};

class TPaintPacer : public QObject {
 public:
  // One frame of a 60 Hz screen, rounded down.
  static constexpr std::chrono::milliseconds kFrame{16};

  TPaintPacer();
  ~TPaintPacer() override;
  TPaintPacer(const TPaintPacer&) = delete;
  TPaintPacer& operator=(const TPaintPacer&) = delete;

  // The controls painted together; a control is added once.
  void Add(TPacedControl* control);
  void Remove(TPacedControl* control);

  // Something to show changed: painted now when the last paint is a frame
  // or more ago, else owed.
  void Changed();
  // The end of a step: what is owed is painted now.
  void Flush();
  bool Owed() const { return owed_; }
  // How often the pacer has painted (for tests).
  int Paints() const { return paints_; }

 private:
  void Paint();
  void ArmTimer();

  std::vector<TPacedControl*> controls_;
  std::optional<std::chrono::steady_clock::time_point> lastPaint_;
  bool owed_ = false;
  int paints_ = 0;
  QTimer timer_;
};

}  // namespace desktop
