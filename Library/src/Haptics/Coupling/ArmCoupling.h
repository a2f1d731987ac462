#pragma once

#include <memory>

#include "Haptics/Effect.h"
#include "Haptics/ServoLoop.h"

namespace Orvex::HardwareAPI::Haptics {

// One side of a bilateral coupling: pulls the arm of the loop rendering it towards the latest
// state the other loop published, read without a lock (a state being written is skipped and the
// one before it used).
class ArmCoupling : public Effect {
 public:
  ArmCoupling(const ServoLoop& other, double stiffness, double damping,
              std::shared_ptr<const void> keep_other);

  Vector3d render(const EffectContext& context, const Parameters&) noexcept override;
  bool proxy(Vector3d& point) const noexcept override;
  // Bound to the loop at the other end: no second loop may render it.
  bool shareable() const noexcept override { return false; }

 private:
  const ServoLoop& other;
  const double stiffness, damping;
  const std::shared_ptr<const void> keep_other;

  // The loop's own.
  ServoState seen{};
  bool have_seen = false;
  bool coupled = false;
};

}  // namespace Orvex::HardwareAPI::Haptics
