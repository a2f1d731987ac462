#include "Haptics/Wall.h"

#include <cmath>

#include "EffectParameters.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

using namespace EffectParameters;

constexpr std::size_t point_at = 0, normal_at = 3, stiffness_at = 6, damping_at = 7;

}  // namespace

Wall::Wall(const Vector3d& point, const Vector3d& normal, double stiffness, double damping)
    : Effect({0, 0, 0, 0, 0, 1, 0, 0}) {
  set_point(point);
  set_normal(normal);
  set_stiffness(stiffness);
  set_damping(damping);
}

Vector3d Wall::point() const { return vector_at(parameters(), point_at); }
Vector3d Wall::normal() const { return vector_at(parameters(), normal_at); }
double Wall::stiffness() const { return parameters()[stiffness_at]; }
double Wall::damping() const { return parameters()[damping_at]; }

bool Wall::set_point(const Vector3d& point) {
  if (!finite(point)) return false;
  update([&](Parameters& p) { put_vector(p, point_at, point); });
  return true;
}

bool Wall::set_normal(const Vector3d& normal) {
  // A normal too short to scale to length 1 has no direction.
  if (!finite(normal) || !std::isnormal(std::sqrt(dot(normal, normal)))) return false;
  update([&](Parameters& p) { put_vector(p, normal_at, normal); });
  return true;
}

bool Wall::set_stiffness(double stiffness) {
  if (!valid_gain(stiffness)) return false;
  update([&](Parameters& p) { p[stiffness_at] = stiffness; });
  return true;
}

bool Wall::set_damping(double damping) {
  if (!valid_gain(damping)) return false;
  update([&](Parameters& p) { p[damping_at] = damping; });
  return true;
}

Vector3d Wall::law(const Parameters& p, const Vector3d& x, const Vector3d& v) const noexcept {
  Vector3d n = vector_at(p, normal_at);
  const double length = std::sqrt(dot(n, n));
  for (double& element : n) element /= length;
  const Vector3d point = vector_at(p, point_at);
  const double d = dot({x[0] - point[0], x[1] - point[1], x[2] - point[2]}, n);
  if (d >= 0) return {};
  const double s = -p[stiffness_at] * d - p[damping_at] * dot(v, n);
  // Written as the law reads, so that a position that is not a number stays one and the loop
  // refuses to send it, instead of passing for "outside".
  if (s < 0) return {};
  return {s * n[0], s * n[1], s * n[2]};
}

}  // namespace Orvex::HardwareAPI::Haptics
