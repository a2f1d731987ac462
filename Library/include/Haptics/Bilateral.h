#pragma once

#include <memory>

#include "Haptics/Effect.h"
#include "Haptics/ServoLoop.h"

namespace Orvex::HardwareAPI::Haptics {

// Two arms held together by a spring-damper, each rendered natively by its own loop: the effect
// for loop a pulls arm a towards arm b's latest published state, F_a = stiffness (x_b - x_a) +
// damping (v_b - v_a), and the effect for loop b mirrors it. Making the pair adds nothing: the
// application adds effect_for_a() to a and effect_for_b() to b, and removes them like any effect.
// Each effect renders no force while the other loop is not running.
//
// Lifetimes: each effect reads the other loop, which must outlive it while it is rendered. The
// optional keepers are held by the effects (keep_b by a's, keep_a by b's) and let go with them,
// for callers whose loops are owned elsewhere.
class Bilateral {
 public:
  // Why these cannot be coupled ("a loop cannot be coupled to itself", ...), or null.
  static const char* problem(const ServoLoop& a, const ServoLoop& b, double stiffness,
                             double damping);

  // With a problem(), the effects render no force.
  Bilateral(const ServoLoop& a, const ServoLoop& b, double stiffness, double damping = 0,
            std::shared_ptr<const void> keep_b = nullptr,
            std::shared_ptr<const void> keep_a = nullptr);

  const std::shared_ptr<Effect>& effect_for_a() const { return for_a; }
  const std::shared_ptr<Effect>& effect_for_b() const { return for_b; }

 private:
  std::shared_ptr<Effect> for_a, for_b;
};

}  // namespace Orvex::HardwareAPI::Haptics
