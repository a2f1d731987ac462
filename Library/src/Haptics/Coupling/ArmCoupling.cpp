#include "ArmCoupling.h"

#include <utility>

namespace Orvex::HardwareAPI::Haptics {

ArmCoupling::ArmCoupling(const ServoLoop& other, double stiffness, double damping,
                         std::shared_ptr<const void> keep_other)
    : other(other), stiffness(stiffness), damping(damping), keep_other(std::move(keep_other)) {}

Vector3d ArmCoupling::render(const EffectContext& context, const Parameters&) noexcept {
  ServoState latest;
  if (other.try_state(latest)) {
    seen = latest;
    have_seen = true;
  }
  coupled = have_seen && other.running();
  if (!coupled) return {};
  Vector3d force{};
  for (std::size_t i = 0; i < 3; ++i)
    force[i] = stiffness * (seen.position[i] - context.position[i]) +
               damping * (seen.velocity[i] - context.velocity[i]);
  return force;
}

bool ArmCoupling::proxy(Vector3d& point) const noexcept {
  if (!coupled) return false;
  point = seen.position;
  return true;
}

}  // namespace Orvex::HardwareAPI::Haptics
