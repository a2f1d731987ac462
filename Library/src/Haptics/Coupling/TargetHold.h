#pragma once

// Where a coupling's target is between two updates, on the layer's clock (Haptics/Clock.h).

#include <cstdint>

#include "Haptics/Coupling.h"

namespace Orvex::HardwareAPI::Haptics {

// One update as the application made it: the time it gave, else the moment it was made.
struct TargetUpdate {
  Vector3d position{};
  Vector3d velocity{};
  bool has_velocity = false;
  bool timed = false;
  double time_s = 0;         // on the layer's clock, when timed
  std::int64_t made_ns = 0;  // likewise in ns, when not timed
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

// An update's time on the layer's clock.
double update_time(const TargetUpdate& update);

// The target at now_s. The linear hold goes on from the last update with its
// velocity, or with that of the last two when it gave none (none when they share one time);
// the zero hold keeps the last position, with the velocity given (else none) for the damping.
// The interpolating hold has state of its own (InterpolatedHold); here it counts as linear.
HeldTarget held_target(const TargetUpdates& updates, Hold hold, double now_s) noexcept;

}  // namespace Orvex::HardwareAPI::Haptics
