#include "TraceRing.h"

#include <algorithm>
#include <cstring>

namespace Orvex::HardwareAPI::Haptics {

TraceRing::TraceRing(std::size_t capacity)
    : size(capacity), slots(capacity ? new Slot[capacity] : nullptr) {}

void TraceRing::reset() { written.store(0, std::memory_order_release); }

void TraceRing::push(const TraceRow& row) {
  if (size == 0) return;
  const std::uint64_t cycle = written.load(std::memory_order_relaxed);
  Slot::Values values{};
  std::memcpy(values.data(), &row, sizeof row);
  values[trace_columns] = static_cast<double>(cycle);
  slots[cycle % size].store(values);
  written.store(cycle + 1, std::memory_order_release);
}

std::size_t TraceRing::copy(TraceRow* out) const {
  const std::uint64_t end = written.load(std::memory_order_acquire);
  const std::uint64_t first = end - std::min<std::uint64_t>(end, size);
  std::size_t copied = 0;
  for (std::uint64_t cycle = first; cycle < end; ++cycle) {
    const Slot::Values values = slots[cycle % size].load();
    if (values[trace_columns] != static_cast<double>(cycle)) continue;  // overwritten since
    std::memcpy(&out[copied++], values.data(), sizeof(TraceRow));
  }
  return copied;
}

}  // namespace Orvex::HardwareAPI::Haptics
