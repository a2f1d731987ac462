#include "HandleModel.h"

#include <cmath>

namespace Orvex::Emulator {

namespace {

constexpr double pi = 3.14159265358979323846;

struct Quaternion {
  double w, x, y, z;
};

Quaternion operator*(const Quaternion& a, const Quaternion& b) {
  return {
      a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
      a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

Quaternion about_x(double angle) {
  return {std::cos(angle / 2), std::sin(angle / 2), 0, 0};
}
Quaternion about_y(double angle) {
  return {std::cos(angle / 2), 0, std::sin(angle / 2), 0};
}
Quaternion about_z(double angle) {
  return {std::cos(angle / 2), 0, 0, std::sin(angle / 2)};
}

}  // namespace

HandlePose HandleModel::pose_at(double t_s) {
  // Yaw turns steadily; pitch and roll sway as a hand does.
  const double yaw = std::fmod(0.4 * t_s, 2 * pi);
  const double pitch = 0.2 * std::sin(2 * pi * 0.15 * t_s);
  const double roll = 0.3 * std::sin(2 * pi * 0.25 * t_s);
  const Quaternion q = about_z(yaw) * about_y(pitch) * about_x(roll);
  const double norm = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);

  const double squeeze = 0.5 * (1 - std::cos(2 * pi * t_s / squeeze_period_s));
  return {{static_cast<float>(q.w / norm), static_cast<float>(q.x / norm),
           static_cast<float>(q.y / norm), static_cast<float>(q.z / norm)},
          static_cast<std::uint8_t>(std::lround(255 * squeeze))};
}

void HandleModel::store_user_data(const std::uint8_t* bytes, std::size_t length) {
  data.assign(bytes, bytes + length);
}

std::uint8_t HandleModel::take_error_flag() {
  const std::uint8_t flag = error;
  error = 0;
  return flag;
}

}  // namespace Orvex::Emulator
