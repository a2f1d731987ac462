#pragma once

#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Haptics {

// Pulls towards its anchor: F = -stiffness (x - anchor) - damping v.
class Spring : public Effect {
 public:
  // Values a setter would refuse are left at the default (no force).
  Spring(const Vector3d& anchor = {}, double stiffness = 0, double damping = 0);

  Vector3d anchor() const;
  double stiffness() const;
  double damping() const;
  bool set_anchor(const Vector3d& anchor);     // finite
  bool set_stiffness(double stiffness);        // finite, not negative
  bool set_damping(double damping);            // finite, not negative

  Vector3d law(const Parameters& parameters, const Vector3d& x,
               const Vector3d& v) const noexcept override;
};

}  // namespace Orvex::HardwareAPI::Haptics
