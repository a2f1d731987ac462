#include "Haptics/Spring.h"

#include "EffectParameters.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

using namespace EffectParameters;

constexpr std::size_t anchor_at = 0, stiffness_at = 3, damping_at = 4;

}  // namespace

Spring::Spring(const Vector3d& anchor, double stiffness, double damping) {
  set_anchor(anchor);
  set_stiffness(stiffness);
  set_damping(damping);
}

Vector3d Spring::anchor() const { return vector_at(parameters(), anchor_at); }
double Spring::stiffness() const { return parameters()[stiffness_at]; }
double Spring::damping() const { return parameters()[damping_at]; }

bool Spring::set_anchor(const Vector3d& anchor) {
  if (!finite(anchor)) return false;
  update([&](Parameters& p) { put_vector(p, anchor_at, anchor); });
  return true;
}

bool Spring::set_stiffness(double stiffness) {
  if (!valid_gain(stiffness)) return false;
  update([&](Parameters& p) { p[stiffness_at] = stiffness; });
  return true;
}

bool Spring::set_damping(double damping) {
  if (!valid_gain(damping)) return false;
  update([&](Parameters& p) { p[damping_at] = damping; });
  return true;
}

Vector3d Spring::law(const Parameters& p, const Vector3d& x, const Vector3d& v) const noexcept {
  const Vector3d anchor = vector_at(p, anchor_at);
  Vector3d force{};
  for (std::size_t i = 0; i < 3; ++i)
    force[i] = -p[stiffness_at] * (x[i] - anchor[i]) - p[damping_at] * v[i];
  return force;
}

}  // namespace Orvex::HardwareAPI::Haptics
