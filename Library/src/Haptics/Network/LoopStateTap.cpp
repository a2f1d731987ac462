#include "LoopStateTap.h"

namespace Orvex::HardwareAPI::Haptics {

Vector3d LoopStateTap::render(const EffectContext&, const Parameters&) noexcept {
  ServoState state;
  if (!loop.try_state(state)) return {};
  if (have_sent && state.cycle == last_cycle) return {};
  have_sent = true;
  last_cycle = state.cycle;
  if (!queue->push_from_producer(state)) lost.fetch_add(1, std::memory_order_relaxed);
  return {};
}

}  // namespace Orvex::HardwareAPI::Haptics
