#include "PoseAtTime.h"

#include <algorithm>
#include <cmath>

#include "VectorMath.h"

namespace Orvex::HardwareAPI::Haptics {

using namespace VectorMath;

namespace {

// How far the linear hold carries a shape past its last pose when no new one comes.
constexpr double longest_extrapolation_s = 0.1;

// The rotation share u of the way from a to b (u beyond 1 goes on turning the same way):
// a (a⁻¹ b)^u, taking the shorter of the two arcs.
Quaternion slerp(const Quaternion& a, const Quaternion& b, double u) {
  Quaternion step = multiply({a[0], -a[1], -a[2], -a[3]}, b);
  if (step[0] < 0)
    for (double& part : step) part = -part;
  const Vector3d axis{step[1], step[2], step[3]};
  const double sine = norm(axis);
  if (sine < 1e-12) return b;
  const double half = std::atan2(sine, step[0]) * u;
  const double scale = std::sin(half) / sine;
  return multiply(a, {std::cos(half), scale * axis[0], scale * axis[1], scale * axis[2]});
}

}  // namespace

Shape::Record pose_at(const Shape::Record& record, double now_s) noexcept {
  const PoseMotion& motion = record.motion;
  if (!motion.timed || !motion.has_from) return record;
  const double span = motion.time_s - motion.from_time_s;
  if (!(span > 0)) return record;
  double u;
  if (motion.hold == PoseHold::interpolate) {
    u = std::clamp((now_s - motion.time_s) / span, 0.0, 1.0);
  } else {
    u = 1 + std::clamp(now_s - motion.time_s, 0.0, longest_extrapolation_s) / span;
  }
  Shape::Record posed = record;
  posed.position = motion.from_position + u * (record.position - motion.from_position);
  posed.orientation = slerp(motion.from_orientation, record.orientation, u);
  return posed;
}

}  // namespace Orvex::HardwareAPI::Haptics
