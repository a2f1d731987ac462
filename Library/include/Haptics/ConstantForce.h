#pragma once

#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Haptics {

// The same force wherever the arm is: F = force.
class ConstantForce : public Effect {
 public:
  // A force a setter would refuse is left at the default (zero).
  explicit ConstantForce(const Vector3d& force = {});

  Vector3d force() const;
  bool set_force(const Vector3d& force);  // finite

  Vector3d law(const Parameters& parameters, const Vector3d& x,
               const Vector3d& v) const noexcept override;
};

}  // namespace Orvex::HardwareAPI::Haptics
