#include "ReplyCheck.h"

#include <cmath>

namespace Orvex::HardwareAPI::Haptics {

bool ReplyCheck::predicted_by(const Sample& sample, const Devices::Vector3& position,
                              const Devices::Vector3& velocity, std::int64_t at_ns) {
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
    if (!(std::fabs(double{position[i]} - predicted) <= reach)) return false;
    if (!(std::fabs(double{velocity[i]} - v) <= velocity_reach)) return false;
  }
  return true;
}

bool ReplyCheck::accept(const Devices::Vector3& position, const Devices::Vector3& velocity,
                        std::int64_t sent_ns) {
  for (int i = 0; i < 3; ++i) {
    // Written so that NaN fails.
    if (!(std::fabs(position[i]) <= position_limit_m)) return false;
    if (!(std::fabs(velocity[i]) <= speed_limit_m_s)) return false;
  }
  const Sample reply{true, position, velocity, sent_ns};
  const bool fits = !reference.held || predicted_by(reference, position, velocity, sent_ns) ||
                    (candidate.held && predicted_by(candidate, position, velocity, sent_ns));
  if (!fits) {
    candidate = reply;
    return false;
  }
  reference = reply;
  candidate.held = false;
  return true;
}

}  // namespace Orvex::HardwareAPI::Haptics
