#include "Haptics/Material.h"

#include <cmath>

namespace Orvex::HardwareAPI::Haptics {

namespace {
bool valid(double value) { return std::isfinite(value) && value >= 0; }
}  // namespace

const char* Material::problem() const noexcept {
  if (!valid(stiffness)) return "stiffness must be finite and not negative";
  if (!valid(damping)) return "damping must be finite and not negative";
  if (!valid(static_friction)) return "static_friction must be finite and not negative";
  if (!valid(dynamic_friction)) return "dynamic_friction must be finite and not negative";
  if (dynamic_friction > static_friction)
    return "dynamic_friction must not exceed static_friction";
  return nullptr;
}

}  // namespace Orvex::HardwareAPI::Haptics
