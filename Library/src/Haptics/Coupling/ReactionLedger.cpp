#include "ReactionLedger.h"

namespace Orvex::HardwareAPI::Haptics {

void ReactionLedger::add(const Vector3d& reaction, double dt) noexcept {
  for (std::size_t i = 0; i < 3; ++i) running.force[i] += reaction[i];
  ++running.cycles;
  running.span_s += dt;
  published.store(running);
}

CouplingReaction ReactionLedger::take() {
  std::lock_guard<std::mutex> turn(takers);
  const Sums now = published.load();
  CouplingReaction reaction;
  reaction.cycles = now.cycles - taken.cycles;
  reaction.span_s = now.span_s - taken.span_s;
  if (reaction.cycles > 0)
    for (std::size_t i = 0; i < 3; ++i)
      reaction.force[i] = (now.force[i] - taken.force[i]) / static_cast<double>(reaction.cycles);
  taken = now;
  return reaction;
}

}  // namespace Orvex::HardwareAPI::Haptics
