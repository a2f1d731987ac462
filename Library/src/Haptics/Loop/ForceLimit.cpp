#include "ForceLimit.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace Orvex::HardwareAPI::Haptics {

Shortened shortened(const Vector3d& vector, double limit) noexcept {
  Shortened result{vector, false};
  const double largest =
      std::max({std::fabs(vector[0]), std::fabs(vector[1]), std::fabs(vector[2])});
  if (largest == 0) return result;
  Vector3d unit_scaled{};
  for (std::size_t i = 0; i < 3; ++i) unit_scaled[i] = vector[i] / largest;
  const double scaled_length = std::sqrt(unit_scaled[0] * unit_scaled[0] +
                                         unit_scaled[1] * unit_scaled[1] +
                                         unit_scaled[2] * unit_scaled[2]);
  // largest * scaled_length may overflow to infinity, which compares above any limit.
  if (largest * scaled_length > limit) {
    for (std::size_t i = 0; i < 3; ++i) result.vector[i] = unit_scaled[i] * (limit / scaled_length);
    result.shortened = true;
  }
  return result;
}

Shortened stepped_toward(const Vector3d& from, const Vector3d& to, double max_step) noexcept {
  Vector3d change{};
  for (std::size_t i = 0; i < 3; ++i) change[i] = to[i] - from[i];
  Shortened step = shortened(change, max_step);
  for (std::size_t i = 0; i < 3; ++i) step.vector[i] += from[i];
  return step;
}

LimitedForce limit_force(const Vector3d& wanted, double max_force) noexcept {
  LimitedForce limited;
  if (!std::isfinite(wanted[0]) || !std::isfinite(wanted[1]) || !std::isfinite(wanted[2])) {
    limited.non_finite = true;
    return limited;
  }
  const Shortened force = shortened(wanted, max_force);
  limited.clamped = force.shortened;
  for (std::size_t i = 0; i < 3; ++i) limited.command[i] = static_cast<float>(force.vector[i]);
  return limited;
}

}  // namespace Orvex::HardwareAPI::Haptics
