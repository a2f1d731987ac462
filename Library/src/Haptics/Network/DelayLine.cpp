#include "DelayLine.h"

#include <cmath>

namespace Orvex::HardwareAPI::Haptics {

const char* ChannelEmulation::problem() const {
  if (!(std::isfinite(delay_s) && delay_s >= 0 && delay_s <= 10))
    return "emulate_delay_s must be in [0, 10]";
  if (!(std::isfinite(jitter_s) && jitter_s >= 0 && jitter_s <= 10))
    return "jitter_s must be in [0, 10]";
  if (!(loss >= 0 && loss < 1)) return "loss must be in [0, 1)";
  return nullptr;
}

DelayLine::DelayLine(const ChannelEmulation& emulation) : emulation(emulation), random(emulation.seed) {
  held.reserve(capacity);
}

bool DelayLine::offer(const PeerState& sample, std::int64_t now_ns) {
  // The other side started again: its numbers do too.
  if (sample.number == 1) delivered = 0;
  if (emulation.loss > 0 && std::uniform_real_distribution<double>(0, 1)(random) < emulation.loss)
    return false;
  if (held.size() == capacity) return false;
  double hold_s = emulation.delay_s;
  if (emulation.jitter_s > 0)
    hold_s += std::uniform_real_distribution<double>(-emulation.jitter_s, emulation.jitter_s)(random);
  if (hold_s < 0) hold_s = 0;
  held.push_back({sample, now_ns + static_cast<std::int64_t>(hold_s * 1e9)});
  return true;
}

bool DelayLine::take_due(std::int64_t now_ns, PeerState& newest) {
  bool found = false;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < held.size(); ++i) {
    if (held[i].due_ns > now_ns) {
      held[kept++] = held[i];
      continue;
    }
    if (held[i].sample.number > delivered) {
      delivered = held[i].sample.number;
      newest = held[i].sample;
      found = true;
    }
  }
  held.resize(kept);
  return found;
}

std::int64_t DelayLine::next_due_ns() const {
  std::int64_t next = -1;
  for (const Held& h : held)
    if (next < 0 || h.due_ns < next) next = h.due_ns;
  return next;
}

}  // namespace Orvex::HardwareAPI::Haptics
