#include "TargetHold.h"

#include <cmath>

namespace Orvex::HardwareAPI::Haptics {

double update_time(const TargetUpdate& update) {
  return update.timed ? update.time_s : update.made_ns / 1e9;
}

HeldTarget held_target(const TargetUpdates& updates, Hold hold, double now_s) noexcept {
  HeldTarget held;
  if (!updates.any) return held;
  const TargetUpdate& last = updates.latest;
  held.position = last.position;
  if (last.has_velocity) {
    held.velocity = last.velocity;
  } else if (hold != Hold::zero && updates.has_previous) {
    const double span = update_time(last) - update_time(updates.previous);
    if (span > 0)
      for (std::size_t i = 0; i < 3; ++i)
        held.velocity[i] = (last.position[i] - updates.previous.position[i]) / span;
  }
  if (hold != Hold::zero) {
    const double since = now_s - update_time(last);
    for (std::size_t i = 0; i < 3; ++i) held.position[i] += held.velocity[i] * since;
  }
  return held;
}

}  // namespace Orvex::HardwareAPI::Haptics
