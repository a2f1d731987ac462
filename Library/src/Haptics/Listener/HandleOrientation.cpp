#include "Haptics/HandleOrientation.h"

#include <algorithm>
#include <cmath>

namespace Orvex::HardwareAPI::Haptics {

namespace {

constexpr double degrees_per_radian = 57.295779513082320876798;

}  // namespace

RollPitchYaw roll_pitch_yaw(const float (&quaternion)[4]) {
  const double w = quaternion[0], x = quaternion[1], y = quaternion[2], z = quaternion[3];
  // The terms are taken relative to the squared norm, so a quaternion a little off unit length
  // (as single-precision values are) gives the angles of its normalised self.
  const double norm = w * w + x * x + y * y + z * z;
  if (!(norm > 0.0)) return {0.0, 0.0, 0.0};
  const double roll = std::atan2(2 * (w * x + y * z), norm - 2 * (x * x + y * y));
  // Rounding can take the sine a hair past 1 at the poles.
  const double pitch = std::asin(std::clamp(2 * (w * y - z * x) / norm, -1.0, 1.0));
  const double yaw = std::atan2(2 * (w * z + x * y), norm - 2 * (y * y + z * z));
  return {roll * degrees_per_radian, pitch * degrees_per_radian, yaw * degrees_per_radian};
}

}  // namespace Orvex::HardwareAPI::Haptics
