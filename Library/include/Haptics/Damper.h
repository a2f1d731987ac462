#pragma once

#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Haptics {

// Resists motion: F = -coefficient v.
class Damper : public Effect {
 public:
  // A coefficient a setter would refuse is left at the default (no force).
  explicit Damper(double coefficient = 0);

  double coefficient() const;
  bool set_coefficient(double coefficient);  // finite, not negative

  Vector3d law(const Parameters& parameters, const Vector3d& x,
               const Vector3d& v) const noexcept override;
};

}  // namespace Orvex::HardwareAPI::Haptics
