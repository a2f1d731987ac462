#pragma once

// Where a segment enters a primitive shape, given the shape's signed distance (negative inside)
// and its first crossing of the surface. A start a hair inside the surface (rounding, a shape
// that moved) still counts as on it, so the proxy is held there instead of slipping through;
// a start deeper inside meets no surface from within.

#include "Haptics/Shape.h"
#include "VectorMath.h"

namespace Orvex::HardwareAPI::Haptics::SurfaceEntry {

using namespace VectorMath;

constexpr double on_surface = 1e-9;    // m: as good as touching
constexpr double held_within = 1e-5;   // m: deeper than this is inside

struct Distance {
  double value;       // m, negative inside
  Vector3d gradient;  // unit, outwards
};

// distance(point) -> Distance; crossing(from, to, hit) -> bool, for a start outside.
template <class DistanceOf, class Crossing>
bool enters(const Vector3d& from, const Vector3d& to, SurfaceHit& hit, DistanceOf distance,
            Crossing crossing) noexcept {
  const Distance start = distance(from);
  if (start.value < -held_within) return false;
  if (start.value <= on_surface) {
    if (VectorMath::dot(to - from, start.gradient) >= 0) return false;  // leaving or gliding
    hit = {0, start.gradient};
    return true;
  }
  return crossing(from, to, hit);
}

// The smaller root of a t² + b t + c = 0 when it lies in [0, 1] (a > 0): where a segment enters
// a quadric it starts outside of.
inline bool entering_root(double a, double b, double c, double& t) {
  if (a <= 0) return false;
  const double discriminant = b * b - 4 * a * c;
  if (discriminant < 0) return false;
  t = (-b - std::sqrt(discriminant)) / (2 * a);
  return t >= 0 && t <= 1;
}

}  // namespace Orvex::HardwareAPI::Haptics::SurfaceEntry
