#include "ConstraintPlanes.h"

#include <cmath>

#include "VectorMath.h"

namespace Orvex::HardwareAPI::Haptics {

using namespace VectorMath;

namespace {
constexpr double parallel = 1 - 1e-9;  // cosine above which two normals are one
}  // namespace

void ConstraintPlanes::erase(std::size_t i) {
  for (std::size_t k = i; k + 1 < count; ++k) planes[k] = planes[k + 1];
  --count;
}

bool ConstraintPlanes::add(const Plane& plane, const Vector3d& goal) {
  for (std::size_t i = 0; i < count; ++i) {
    if (dot(planes[i].normal, plane.normal) > parallel) {
      planes[i] = plane;
      return true;
    }
  }
  if (count == planes.size()) return false;
  planes[count++] = plane;
  Vector3d point;
  if (!closest_without(goal, count, point)) erase(0);  // three planes through one line
  for (std::size_t i = count - 1; i-- > 0;) {
    if (closest_without(goal, i, point) &&
        dot(planes[i].normal, point) >= planes[i].offset)
      erase(i);
  }
  return true;
}

Vector3d ConstraintPlanes::closest(const Vector3d& goal) const {
  Vector3d point = goal;
  closest_without(goal, count, point);
  return point;
}

// Minimising |p - goal|² on the planes n_i . p = o_i gives p = goal - Σ λ_i n_i with
// G λ = (n_i . goal - o_i), G the Gram matrix of the normals.
bool ConstraintPlanes::closest_without(const Vector3d& goal, std::size_t skip,
                                       Vector3d& point) const {
  std::array<const Plane*, 3> used{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < count; ++i)
    if (i != skip) used[n++] = &planes[i];
  std::array<double, 3> residual{};
  for (std::size_t i = 0; i < n; ++i) residual[i] = dot(used[i]->normal, goal) - used[i]->offset;
  std::array<double, 3> lambda{};
  if (n == 1) {
    lambda[0] = residual[0];
  } else if (n == 2) {
    const double g = dot(used[0]->normal, used[1]->normal);
    const double determinant = 1 - g * g;
    if (determinant < 1e-12) return false;
    lambda[0] = (residual[0] - g * residual[1]) / determinant;
    lambda[1] = (residual[1] - g * residual[0]) / determinant;
  } else if (n == 3) {
    // Cramer's rule on the 3x3 Gram system.
    const Vector3d &a = used[0]->normal, &b = used[1]->normal, &c = used[2]->normal;
    const double volume = dot(a, cross(b, c));
    if (std::abs(volume) < 1e-6) return false;
    // With three independent planes the point is their intersection.
    point = (1 / volume) * (used[0]->offset * cross(b, c) + used[1]->offset * cross(c, a) +
                            used[2]->offset * cross(a, b));
    return true;
  }
  point = goal;
  for (std::size_t i = 0; i < n; ++i) point = point - lambda[i] * used[i]->normal;
  return true;
}

}  // namespace Orvex::HardwareAPI::Haptics
