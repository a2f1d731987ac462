#pragma once

#include <cstddef>

#include "ConstraintPlanes.h"
#include "TrackedShapes.h"

namespace Orvex::HardwareAPI::Haptics {

// The proxy: a point that follows the arm but never crosses a felt surface, and Coulomb
// friction that holds it on the surface.
//
// Each cycle it starts from where it was and moves towards the arm; where it meets a surface it
// stops a hair in front of it and takes the surface's tangent plane as a constraint, then moves
// towards the point of its constraints closest to the arm, and so on, up to three planes at
// once (edges, corners, the inside of a concave mesh). It starts each cycle with no constraints,
// so it lets go of a surface as soon as the arm does. This follows Zilles and Salisbury's
// god-object (IROS 1995) and the proxy of D. Ruspini, K. Kolarov and O. Khatib, "The haptic
// display of complex graphical environments" (SIGGRAPH 1997), who extend it to any surface a
// local tangent plane describes.
//
// Friction is a cone around the contact normal with its tip at the arm (W. S. Harwin and
// N. Melder, "Improved haptic rendering for multi-finger manipulation using friction cone based
// god-objects", Eurohaptics 2002): the proxy stays where it was while the tangential offset is
// within static_friction × the normal depth, and otherwise slides to the rim of the
// dynamic_friction cone.
//
// Loop thread only.
class GodObject {
 public:
  void reset(const Vector3d& at);
  // shapes: this cycle's; the proxy has already been carried by moving shapes.
  void step(const TrackedShapes& shapes, const Vector3d& arm) noexcept;

  Vector3d& position() { return point; }
  const Vector3d& position() const { return point; }
  bool touching() const { return planes.size() > 0; }
  // Of the first surface held; meaningful while touching.
  const Vector3d& normal() const { return planes[0].normal; }
  std::size_t shape() const { return planes[0].shape; }

 private:
  // Moves the proxy from where it is towards goal, meeting surfaces and taking up their planes.
  void constrain(const TrackedShapes& shapes, const Vector3d& goal) noexcept;
  void apply_friction(const TrackedShapes& shapes, const Vector3d& arm,
                      const Vector3d& before) noexcept;

  Vector3d point{};
  ConstraintPlanes planes;
  bool sliding = false;
};

}  // namespace Orvex::HardwareAPI::Haptics
