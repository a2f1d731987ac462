#pragma once

// The little vector and rotation arithmetic the scene needs, on Vector3d and unit quaternions.

#include <cmath>

#include "Haptics/Shape.h"

namespace Orvex::HardwareAPI::Haptics::VectorMath {

inline Vector3d operator+(const Vector3d& a, const Vector3d& b) {
  return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
inline Vector3d operator-(const Vector3d& a, const Vector3d& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
inline Vector3d operator*(double s, const Vector3d& a) { return {s * a[0], s * a[1], s * a[2]}; }
inline double dot(const Vector3d& a, const Vector3d& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
inline Vector3d cross(const Vector3d& a, const Vector3d& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double norm(const Vector3d& a) { return std::sqrt(dot(a, a)); }
inline bool finite(const Vector3d& a) {
  return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]);
}

// v rotated by the unit quaternion q: v + 2w (u × v) + 2 u × (u × v), u the vector part.
inline Vector3d rotate(const Quaternion& q, const Vector3d& v) {
  const Vector3d u{q[1], q[2], q[3]};
  const Vector3d c = cross(u, v);
  return v + (2 * q[0]) * c + 2.0 * cross(u, c);
}
inline Vector3d rotate_back(const Quaternion& q, const Vector3d& v) {
  return rotate({q[0], -q[1], -q[2], -q[3]}, v);
}

// The rotation b then a (Hamilton product).
inline Quaternion multiply(const Quaternion& a, const Quaternion& b) {
  return {a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
          a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
          a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],
          a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0]};
}

// A world point in a shape's own frame, and back.
inline Vector3d to_local(const Shape::Record& r, const Vector3d& world) {
  return rotate_back(r.orientation, world - r.position);
}
inline Vector3d to_world(const Shape::Record& r, const Vector3d& local) {
  return rotate(r.orientation, local) + r.position;
}

}  // namespace Orvex::HardwareAPI::Haptics::VectorMath
