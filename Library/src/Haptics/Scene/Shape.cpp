#include "Haptics/Shape.h"

#include "VectorMath.h"

namespace Orvex::HardwareAPI::Haptics {

using namespace VectorMath;

namespace {

// q made unit length: false when it has none (zero, or not finite).
bool normalised(const Quaternion& q, Quaternion& unit) {
  const double length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (!std::isfinite(length) || !std::isnormal(length)) return false;
  for (std::size_t i = 0; i < 4; ++i) unit[i] = q[i] / length;
  return true;
}

// The change that turns a shape to a unit quaternion and leaves it standing there.
auto turned_to(const Quaternion& unit) {
  return [unit](Shape::Record& r) {
    r.orientation = unit;
    r.motion = {};
    return true;
  };
}

}  // namespace

bool Shape::set_material(const Material& material) {
  if (material.problem()) return false;
  return update([&](Record& r) {
    r.material = material;
    return true;
  });
}

// Each single value is checked together with the others, so that static and dynamic friction
// stay in order whichever is set first.
bool Shape::change_material(double Material::*field, double value) {
  return update([&](Record& r) {
    Material next = r.material;
    next.*field = value;
    if (next.problem()) return false;
    r.material = next;
    return true;
  });
}

bool Shape::set_stiffness(double value) { return change_material(&Material::stiffness, value); }
bool Shape::set_damping(double value) { return change_material(&Material::damping, value); }
bool Shape::set_static_friction(double value) {
  return change_material(&Material::static_friction, value);
}
bool Shape::set_dynamic_friction(double value) {
  return change_material(&Material::dynamic_friction, value);
}

// A pose set without a time ends any motion: the shape stands where it is put.
bool Shape::set_position(const Vector3d& position) {
  if (!finite(position)) return false;
  return update([&](Record& r) {
    r.position = position;
    r.motion = {};
    return true;
  });
}

bool Shape::set_orientation(const Quaternion& q) {
  Quaternion unit;
  if (!normalised(q, unit)) return false;
  return update(turned_to(unit));
}

bool Shape::try_set_orientation(const Quaternion& q) {
  Quaternion unit;
  if (!normalised(q, unit)) return false;
  return try_update(turned_to(unit));
}

bool Shape::set_pose(const Vector3d& position, const Quaternion& q, std::optional<double> time_s,
                     PoseHold hold) {
  Quaternion unit;
  if (!finite(position) || !normalised(q, unit) || (time_s && !std::isfinite(*time_s)))
    return false;
  return update([&](Record& r) {
    PoseMotion motion;
    if (time_s) {
      motion.timed = true;
      motion.hold = hold;
      motion.time_s = *time_s;
      // Only a pose set earlier, with a time, is one the shape can move on from.
      if (r.motion.timed && r.motion.time_s < *time_s) {
        motion.has_from = true;
        motion.from_time_s = r.motion.time_s;
        motion.from_position = r.position;
        motion.from_orientation = r.orientation;
      }
    }
    r.position = position;
    r.orientation = unit;
    r.motion = motion;
    return true;
  });
}

}  // namespace Orvex::HardwareAPI::Haptics
