#include "GodObject.h"

#include <algorithm>

#include "VectorMath.h"

namespace Orvex::HardwareAPI::Haptics {

using namespace VectorMath;

namespace {

// Each pass meets one surface at most: three planes, and a few more for planes that replace or
// release others, are all a cycle can use.
constexpr int passes = 8;

// The point a standoff short of where the segment meets the surface (never behind from).
Vector3d short_of(const Vector3d& from, const Vector3d& to, double t) {
  const Vector3d d = to - from;
  const double length = norm(d);
  if (length == 0) return from;
  return from + std::max(0.0, t - TrackedShapes::standoff / length) * d;
}

}  // namespace

void GodObject::reset(const Vector3d& at) {
  point = at;
  planes.clear();
  sliding = false;
}

void GodObject::constrain(const TrackedShapes& shapes, const Vector3d& goal) noexcept {
  planes.clear();
  for (int pass = 0; pass < passes; ++pass) {
    const Vector3d target = planes.closest(goal);
    TrackedShapes::Hit hit;
    if (!shapes.first_hit(point, target, hit)) {
      point = target;
      return;
    }
    const Vector3d& n = hit.surface.normal;
    // Held a standoff in front of the surface, on the plane it now keeps to, so that it starts
    // the next pass (and cycle) on the side it came from.
    point = point + hit.surface.t * (target - point) + TrackedShapes::standoff * n;
    if (!planes.add({n, dot(n, point), hit.index}, goal))
      return;  // held by three planes already: it stays where it is
  }
}

void GodObject::apply_friction(const TrackedShapes& shapes, const Vector3d& arm,
                               const Vector3d& before) noexcept {
  const Material& material = shapes[planes[0].shape].record.material;
  if (material.static_friction <= 0) {
    sliding = true;
    return;
  }
  // Where the proxy would stay: the last cycle's point, on this cycle's planes.
  const Vector3d stay = planes.closest(before);
  const double depth = norm(point - arm);
  const double offset = norm(stay - point);
  const double cone = sliding ? material.dynamic_friction : material.static_friction;
  Vector3d held = stay;
  sliding = offset > cone * depth;
  if (sliding) held = point + (material.dynamic_friction * depth / offset) * (stay - point);
  // The way from the frictionless point to the held one lies on the planes; whatever else lies
  // across it stops it.
  TrackedShapes::Hit hit;
  if (shapes.first_hit(point, held, hit)) held = short_of(point, held, hit.surface.t);
  point = held;
}

void GodObject::step(const TrackedShapes& shapes, const Vector3d& arm) noexcept {
  const bool was_touching = touching();
  const Vector3d before = point;
  constrain(shapes, arm);
  if (!touching()) {
    sliding = false;
    return;
  }
  if (was_touching) apply_friction(shapes, arm, before);
}

}  // namespace Orvex::HardwareAPI::Haptics
