#include "TargetHold.h"

#include <cmath>

namespace Orvex::HardwareAPI::Haptics {

void LoopOrigin::observe(double time_s, std::int64_t now_ns) {
  const std::int64_t candidate = now_ns - std::llround(time_s * 1e9);
  if (!known || candidate < origin_ns) origin_ns = candidate;
  known = true;
}

double loop_time(const TargetUpdate& update, std::int64_t origin_ns) {
  return update.timed ? update.time_s : (update.made_ns - origin_ns) / 1e9;
}

HeldTarget held_target(const TargetUpdates& updates, Hold hold, double now_s,
                       std::int64_t origin_ns) noexcept {
  HeldTarget held;
  if (!updates.any) return held;
  const TargetUpdate& last = updates.latest;
  held.position = last.position;
  if (last.has_velocity) {
    held.velocity = last.velocity;
  } else if (hold != Hold::zero && updates.has_previous) {
    const double span = loop_time(last, origin_ns) - loop_time(updates.previous, origin_ns);
    if (span > 0)
      for (std::size_t i = 0; i < 3; ++i)
        held.velocity[i] = (last.position[i] - updates.previous.position[i]) / span;
  }
  if (hold != Hold::zero) {
    const double since = now_s - loop_time(last, origin_ns);
    for (std::size_t i = 0; i < 3; ++i) held.position[i] += held.velocity[i] * since;
  }
  return held;
}

}  // namespace Orvex::HardwareAPI::Haptics
