#include "ReplyCheck.h"

#include <cmath>

namespace Orvex::HardwareAPI::Haptics {

bool ReplyCheck::predicted_by(const Sample& sample, const Vector3d& position,
                              const Vector3d& velocity, std::int64_t at_ns) {
  // A reply stamped before its reference (a clock that cannot go back) predicts nothing.
  const double dt = at_ns >= sample.at_ns ? (at_ns - sample.at_ns) / 1e9 : 0.0;
  const double acceleration_reach = 0.5 * acceleration_limit_m_s2 * dt * dt;
  const double velocity_reach =
      acceleration_limit_m_s2 * (dt + timing_uncertainty_s) + velocity_noise_m_s;
  for (int i = 0; i < 3; ++i) {
    const double v = sample.velocity[i];
    const double predicted = sample.position[i] + v * dt;
    const double reach =
        position_noise_m + std::fabs(v) * timing_uncertainty_s + acceleration_reach;
    // Written so that NaN fails.
    if (!(std::fabs(position[i] - predicted) <= reach)) return false;
    if (!(std::fabs(velocity[i] - v) <= velocity_reach)) return false;
  }
  return true;
}

bool ReplyCheck::accept_sample(const Vector3d& position, const Vector3d& velocity,
                               std::int64_t arrived_ns) {
  for (int i = 0; i < 3; ++i) {
    // Written so that NaN fails.
    if (!(std::fabs(position[i]) <= position_limit_m)) return false;
    if (!(std::fabs(velocity[i]) <= speed_limit_m_s)) return false;
  }
  const Sample reply{true, position, velocity, arrived_ns};
  const bool follows = reference.held && predicted_by(reference, position, velocity, arrived_ns);
  const bool fits = !reference.held || follows ||
                    (candidate.held && predicted_by(candidate, position, velocity, arrived_ns)) ||
                    (refusal_run > 0 && refused_in_a_row >= refusal_run);
  if (!fits) {
    candidate = reply;
    ++refused_in_a_row;
    return false;
  }
  began = !follows;
  reference = reply;
  candidate.held = false;
  refused_in_a_row = 0;
  return true;
}

}  // namespace Orvex::HardwareAPI::Haptics
