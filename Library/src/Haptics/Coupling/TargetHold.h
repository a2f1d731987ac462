#pragma once

// Where a coupling's target is between two updates, on the loop's clock.

#include <cstdint>

#include "Haptics/Coupling.h"

namespace Orvex::HardwareAPI::Haptics {

// One update as the application made it: its time on the loop's clock when it gave one, else
// the moment it was made, on the monotonic clock.
struct TargetUpdate {
  Vector3d position{};
  Vector3d velocity{};
  bool has_velocity = false;
  bool timed = false;
  double time_s = 0;         // s since the loop started, when timed
  std::int64_t made_ns = 0;  // monotonic, when not timed
};

// The last update and the one before it, handed to the loop whole.
struct TargetUpdates {
  TargetUpdate latest{};
  TargetUpdate previous{};
  bool any = false;
  bool has_previous = false;
  std::uint64_t count = 0;  // updates made so far: a new one is told by a new count
};

struct HeldTarget {
  Vector3d position{};
  Vector3d velocity{};
};

// The loop's start on the monotonic clock, learned from inside its cycles. A cycle's time is
// counted from its wake-up, which came before the moment the effect looks at the clock, so
// now - time is never earlier than the start, and comes nearest to it in the quickest cycle:
// the smallest seen is kept.
class LoopOrigin {
 public:
  void restart() { known = false; }
  void observe(double time_s, std::int64_t now_ns);
  std::int64_t ns() const { return origin_ns; }

 private:
  bool known = false;
  std::int64_t origin_ns = 0;
};

// An update's time on the loop's clock.
double loop_time(const TargetUpdate& update, std::int64_t origin_ns);

// The target at now_s (loop's clock). The linear hold goes on from the last update with its
// velocity, or with that of the last two when it gave none (none when they share one time);
// the zero hold keeps the last position, with the velocity given (else none) for the damping.
// The interpolating hold has state of its own (InterpolatedHold); here it counts as linear.
HeldTarget held_target(const TargetUpdates& updates, Hold hold, double now_s,
                       std::int64_t origin_ns) noexcept;

}  // namespace Orvex::HardwareAPI::Haptics
