#include "Haptics/Shape.h"

#include "VectorMath.h"

namespace Orvex::HardwareAPI::Haptics {

using namespace VectorMath;

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

bool Shape::set_position(const Vector3d& position) {
  if (!finite(position)) return false;
  return update([&](Record& r) {
    r.position = position;
    return true;
  });
}

bool Shape::set_orientation(const Quaternion& q) {
  const double length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (!std::isfinite(length) || !std::isnormal(length)) return false;
  return update([&](Record& r) {
    for (std::size_t i = 0; i < 4; ++i) r.orientation[i] = q[i] / length;
    return true;
  });
}

}  // namespace Orvex::HardwareAPI::Haptics
