#include "Haptics/Damper.h"

#include "EffectParameters.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

using namespace EffectParameters;

constexpr std::size_t coefficient_at = 0;

}  // namespace

Damper::Damper(double coefficient) { set_coefficient(coefficient); }

double Damper::coefficient() const { return parameters()[coefficient_at]; }

bool Damper::set_coefficient(double coefficient) {
  if (!valid_gain(coefficient)) return false;
  update([&](Parameters& p) { p[coefficient_at] = coefficient; });
  return true;
}

Vector3d Damper::law(const Parameters& p, const Vector3d&, const Vector3d& v) const noexcept {
  return {-p[coefficient_at] * v[0], -p[coefficient_at] * v[1], -p[coefficient_at] * v[2]};
}

}  // namespace Orvex::HardwareAPI::Haptics
