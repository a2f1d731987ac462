#include "ForceShaping.h"

#include <cmath>
#include <limits>

#include "ForceLimit.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

double length(const Vector3d& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

bool finite(const Vector3d& v) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

double limit_or_none(double limit) {
  return limit > 0 && std::isfinite(limit) ? limit : std::numeric_limits<double>::infinity();
}

}  // namespace

ForceShaping::ForceShaping(std::uint64_t ramp_cycles, double max_step, double max_speed)
    : ramp_cycles(ramp_cycles), max_step(limit_or_none(max_step)),
      max_speed(limit_or_none(max_speed)) {}

void ForceShaping::reset() {
  ramp_from = 0;
  speed_limiting = false;
  previous = {};
}

void ForceShaping::restart_ramp(std::uint64_t cycle) { ramp_from = cycle; }

void ForceShaping::released() { previous = {}; }

double ForceShaping::ramp_factor(std::uint64_t cycle) const {
  if (ramp_cycles == 0 || cycle >= ramp_from + ramp_cycles) return 1.0;
  if (cycle <= ramp_from) return 0.0;
  return static_cast<double>(cycle - ramp_from) / static_cast<double>(ramp_cycles);
}

ForceShaping::Shaped ForceShaping::shape(const Vector3d& wanted, const Vector3d& velocity,
                                         std::uint64_t cycle) {
  Shaped shaped;
  // Written so that a speed that is not a number counts as too fast.
  if (!(length(velocity) <= max_speed)) {
    speed_limiting = true;
    shaped.speed_limited = true;
    return shaped;
  }
  if (speed_limiting) {
    // Back under the limit: the force comes back ramped, not at once.
    speed_limiting = false;
    restart_ramp(cycle);
  }
  // A force that is not a number is left out: the command steps toward zero at the limit
  // instead of jumping there.
  shaped.non_finite = !finite(wanted);
  const double factor = ramp_factor(cycle);
  shaped.ramping = factor < 1.0;
  Vector3d target{};
  for (int i = 0; i < 3; ++i) target[i] = shaped.non_finite ? 0.0 : wanted[i] * factor;
  const Shortened limited = stepped_toward(previous, target, max_step);
  shaped.step_limited = limited.shortened;
  shaped.force = limited.vector;
  return shaped;
}

}  // namespace Orvex::HardwareAPI::Haptics
