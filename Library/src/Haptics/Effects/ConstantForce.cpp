#include "Haptics/ConstantForce.h"

#include "EffectParameters.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

using namespace EffectParameters;

constexpr std::size_t force_start = 0;

}  // namespace

ConstantForce::ConstantForce(const Vector3d& force) { set_force(force); }

Vector3d ConstantForce::force() const { return vector_at(parameters(), force_start); }

bool ConstantForce::set_force(const Vector3d& force) {
  if (!finite(force)) return false;
  update([&](Parameters& p) { put_vector(p, force_start, force); });
  return true;
}

Vector3d ConstantForce::law(const Parameters& p, const Vector3d&, const Vector3d&) const noexcept {
  return vector_at(p, force_start);
}

}  // namespace Orvex::HardwareAPI::Haptics
