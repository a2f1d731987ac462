#include "InterpolatedHold.h"

#include <algorithm>

namespace Orvex::HardwareAPI::Haptics {

namespace {

// The lag: one update period, kept within what an application's steps can sensibly be,
// so a first pair of updates made at one instant or a long pause does not make it vanish or drag.
constexpr double shortest_span_s = 0.002;
constexpr double longest_span_s = 0.1;
// How much of each new period goes into the lag: periods that alternate (16 and 17 ms at 60 Hz
// on a millisecond clock) leave it nearly still.
constexpr double lag_smoothing = 0.05;
// A period shorter than this share of the lag is taken at once: the updates came after a pause
// (the target held still, the application busy), or faster. Smoothed down from a pause's length
// instead, the lag stays several periods long for a second (6 mm behind a target at 0.1 m/s).
constexpr double pause_ended_share = 0.5;

}  // namespace

void InterpolatedHold::set_off(const TargetUpdates& updates, double now_s) noexcept {
  const TargetUpdate& last = updates.latest;
  const double last_s = update_time(last);
  if (updates.has_previous) {
    const double period =
        std::clamp(last_s - update_time(updates.previous), shortest_span_s, longest_span_s);
    const bool smoothed = lag_s > 0 && period >= pause_ended_share * lag_s;
    lag_s = smoothed ? lag_s + lag_smoothing * (period - lag_s) : period;
  }
  if (started) {
    from = {on_curve(now_s), now_s};
    // Each update is reached one (smoothed) period after its own time: a steady motion's
    // updates then lie on one straight line, which the curve follows exactly.
    to.time_s = std::max(last_s + lag_s, now_s + shortest_span_s);
  } else {
    to.time_s = now_s;  // the first update is taken as it is, at once
  }
  to.state = held_target(updates, Hold::linear, last_s);
  if (!started) from = to;
  started = true;
  followed = updates.count;
}

// Cubic Hermite interpolation between the two knots (position and velocity at each).
HeldTarget InterpolatedHold::on_curve(double now_s) const noexcept {
  const double span = to.time_s - from.time_s;
  HeldTarget held;
  if (now_s >= to.time_s || span <= 0) {
    const double since = now_s - to.time_s;
    for (std::size_t i = 0; i < 3; ++i) {
      held.position[i] = to.state.position[i] + to.state.velocity[i] * since;
      held.velocity[i] = to.state.velocity[i];
    }
    return held;
  }
  const double u = std::max(0.0, (now_s - from.time_s) / span), u2 = u * u, u3 = u2 * u;
  const double h00 = 2 * u3 - 3 * u2 + 1, h10 = u3 - 2 * u2 + u, h01 = 3 * u2 - 2 * u3,
               h11 = u3 - u2;
  const double d00 = 6 * u2 - 6 * u, d10 = 3 * u2 - 4 * u + 1, d11 = 3 * u2 - 2 * u;
  for (std::size_t i = 0; i < 3; ++i) {
    const double p0 = from.state.position[i], p1 = to.state.position[i];
    const double v0 = from.state.velocity[i], v1 = to.state.velocity[i];
    held.position[i] = h00 * p0 + h10 * span * v0 + h01 * p1 + h11 * span * v1;
    held.velocity[i] = d00 * (p0 - p1) / span + d10 * v0 + d11 * v1;
  }
  return held;
}

HeldTarget InterpolatedHold::at(const TargetUpdates& updates, double now_s) noexcept {
  if (!started || updates.count != followed) set_off(updates, now_s);
  return on_curve(now_s);
}

}  // namespace Orvex::HardwareAPI::Haptics
