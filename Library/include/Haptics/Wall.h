#pragma once

#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Haptics {

// A plane through point that pushes back what enters it against its normal. With n the normal
// scaled to length 1 and d = (x - point) . n: no force while d >= 0; else F = s n with
// s = -stiffness d - damping (v . n), and no force when s < 0 (a wall pushes, never pulls).
class Wall : public Effect {
 public:
  // Values a setter would refuse are left at the default (normal +Z, no force).
  Wall(const Vector3d& point = {}, const Vector3d& normal = {0, 0, 1}, double stiffness = 0,
       double damping = 0);

  Vector3d point() const;
  Vector3d normal() const;  // as given, not scaled
  double stiffness() const;
  double damping() const;
  bool set_point(const Vector3d& point);    // finite
  bool set_normal(const Vector3d& normal);  // finite, not of length zero
  bool set_stiffness(double stiffness);     // finite, not negative
  bool set_damping(double damping);         // finite, not negative

  Vector3d law(const Parameters& parameters, const Vector3d& x,
               const Vector3d& v) const noexcept override;
};

}  // namespace Orvex::HardwareAPI::Haptics
