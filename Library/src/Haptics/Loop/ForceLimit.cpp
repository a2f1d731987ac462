#include "ForceLimit.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace Orvex::HardwareAPI::Haptics {

LimitedForce limit_force(const Vector3d& wanted, double max_force) noexcept {
  LimitedForce limited;
  if (!std::isfinite(wanted[0]) || !std::isfinite(wanted[1]) || !std::isfinite(wanted[2])) {
    limited.non_finite = true;
    return limited;
  }
  // Scaled by its largest element first, so that finite forces too large to square keep their
  // direction instead of overflowing to an infinite length.
  const double largest =
      std::max({std::fabs(wanted[0]), std::fabs(wanted[1]), std::fabs(wanted[2])});
  if (largest == 0) return limited;
  Vector3d unit_scaled{};
  for (std::size_t i = 0; i < 3; ++i) unit_scaled[i] = wanted[i] / largest;
  const double scaled_length = std::sqrt(unit_scaled[0] * unit_scaled[0] +
                                         unit_scaled[1] * unit_scaled[1] +
                                         unit_scaled[2] * unit_scaled[2]);
  double factor = largest;
  if (largest * scaled_length > max_force) {
    factor = max_force / scaled_length;
    limited.clamped = true;
  }
  for (std::size_t i = 0; i < 3; ++i)
    limited.command[i] = static_cast<float>(unit_scaled[i] * factor);
  return limited;
}

}  // namespace Orvex::HardwareAPI::Haptics
