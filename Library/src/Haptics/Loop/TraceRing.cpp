#include "TraceRing.h"

#include <algorithm>

namespace Orvex::HardwareAPI::Haptics {

TraceRing::TraceRing(std::size_t capacity)
    : size(capacity), slots(capacity ? new Slot[capacity] : nullptr) {}

void TraceRing::reset() { written.store(0, std::memory_order_release); }

void TraceRing::push(const TraceRow& row) {
  if (size == 0) return;
  const std::uint64_t cycle = written.load(std::memory_order_relaxed);
  slots[cycle % size].store(row, cycle + 1);
  written.store(cycle + 1, std::memory_order_release);
}

std::size_t TraceRing::copy(TraceRow* out) const {
  const std::uint64_t end = written.load(std::memory_order_acquire);
  const std::uint64_t first = end - std::min<std::uint64_t>(end, size);
  std::size_t copied = 0;
  for (std::uint64_t cycle = first; cycle < end; ++cycle) {
    if (slots[cycle % size].read(out[copied], cycle + 1)) ++copied;  // else overwritten since
  }
  return copied;
}

}  // namespace Orvex::HardwareAPI::Haptics
