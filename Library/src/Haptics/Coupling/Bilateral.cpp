#include "Haptics/Bilateral.h"

#include <utility>

#include "../Effects/EffectParameters.h"
#include "ArmCoupling.h"

namespace Orvex::HardwareAPI::Haptics {

const char* Bilateral::problem(const ServoLoop& a, const ServoLoop& b, double stiffness,
                               double damping) {
  if (&a == &b) return "a loop cannot be coupled to itself";
  if (a.stream() == b.stream()) return "the two loops run on the same stream";
  if (!EffectParameters::valid_gain(stiffness)) return "stiffness must be finite and not negative";
  if (!EffectParameters::valid_gain(damping)) return "damping must be finite and not negative";
  return nullptr;
}

Bilateral::Bilateral(const ServoLoop& a, const ServoLoop& b, double stiffness, double damping,
                     std::shared_ptr<const void> keep_b, std::shared_ptr<const void> keep_a) {
  if (problem(a, b, stiffness, damping)) stiffness = damping = 0;
  for_a = std::make_shared<ArmCoupling>(b, stiffness, damping, std::move(keep_b));
  for_b = std::make_shared<ArmCoupling>(a, stiffness, damping, std::move(keep_a));
}

}  // namespace Orvex::HardwareAPI::Haptics
