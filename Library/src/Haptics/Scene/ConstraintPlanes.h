#pragma once

#include <array>
#include <cstddef>

#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Haptics {

// Up to three planes the proxy is held on, and the point of their intersection closest to a
// goal: the Lagrange-multiplier step of the god-object method (C. B. Zilles and J. K. Salisbury,
// "A constraint-based god-object method for haptic display", IROS 1995), where one plane leaves
// a plane to slide on, two an edge, three a single point.
class ConstraintPlanes {
 public:
  struct Plane {
    Vector3d normal;  // unit
    double offset;    // the plane holds the points p with normal . p = offset
    std::size_t shape;
  };

  std::size_t size() const { return count; }
  const Plane& operator[](std::size_t i) const { return planes[i]; }
  void clear() { count = 0; }

  // Adds a plane the proxy met; false when three are held already. A plane (nearly) parallel to
  // one held replaces it. Then lets go of each earlier plane that the others alone would keep
  // the proxy in front of anyway (a convex edge passed over), as the goal stands.
  bool add(const Plane& plane, const Vector3d& goal);

  // The point on all the planes closest to goal (goal itself with none).
  Vector3d closest(const Vector3d& goal) const;

 private:
  // The same, over the planes but the one at skip (none when skip >= count); false when the
  // planes meet in no single point, line or plane (three through one line).
  bool closest_without(const Vector3d& goal, std::size_t skip, Vector3d& point) const;
  void erase(std::size_t i);

  std::array<Plane, 3> planes{};
  std::size_t count = 0;
};

}  // namespace Orvex::HardwareAPI::Haptics
