#pragma once

// The interpolating hold: a target whose position and velocity (and so a coupling's whole force)
// never step when an update comes, one update period late.

#include <cstdint>

#include "TargetHold.h"

namespace Orvex::HardwareAPI::Haptics {

// At each new update, the target sets off from where it is, at the velocity it has, along a cubic
// Hermite curve that reaches the update's position and velocity (given, else that of the last two
// updates) one update period after the update's own time. Updates that come on time make the curve pass through each
// of them in turn, one period late, following a motion of constant acceleration exactly; an
// update early or late bends the curve, never steps it. Past the curve's end the target goes on
// at the update's velocity, as the linear hold does.
//
// Loop thread only.
class InterpolatedHold {
 public:
  // The next target is the first update's, as given.
  void restart() {
    started = false;
    lag_s = 0;
  }
  HeldTarget at(const TargetUpdates& updates, double now_s) noexcept;

 private:
  // Where a segment starts and ends, on the loop's clock.
  struct Knot {
    HeldTarget state;
    double time_s = 0;
  };
  void set_off(const TargetUpdates& updates, double now_s) noexcept;
  HeldTarget on_curve(double now_s) const noexcept;

  bool started = false;
  std::uint64_t followed = 0;  // the update count the curve leads to
  double lag_s = 0;            // the updates' period, smoothed
  Knot from, to;
};

}  // namespace Orvex::HardwareAPI::Haptics
