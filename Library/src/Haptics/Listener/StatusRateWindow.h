#pragma once

// Status messages per second over the last second, counted in twentieths of a second: the
// listener's thread adds, any thread reads, and neither waits.

#include <array>
#include <atomic>
#include <cstdint>

namespace Orvex::HardwareAPI::Haptics {

class StatusRateWindow {
 public:
  static constexpr std::int64_t slice_ms = 50;
  static constexpr std::int64_t slices_per_second = 1000 / slice_ms;

  // One status message at this moment (milliseconds on a steady clock). Listener thread only.
  void count(std::int64_t now_ms) {
    const std::int64_t slice = now_ms / slice_ms;
    Slot& slot = slots[static_cast<std::size_t>(slice) % slots.size()];
    if (slot.slice.load(std::memory_order_relaxed) != slice) {
      slot.count.store(0, std::memory_order_relaxed);
      slot.slice.store(slice, std::memory_order_relaxed);
    }
    slot.count.fetch_add(1, std::memory_order_relaxed);
  }

  // Messages in the last whole second: the twenty complete slices before the current one.
  double rate_hz(std::int64_t now_ms) const {
    const std::int64_t current = now_ms / slice_ms;
    std::uint64_t total = 0;
    for (const Slot& slot : slots) {
      const std::int64_t slice = slot.slice.load(std::memory_order_relaxed);
      if (slice < current && slice >= current - slices_per_second)
        total += slot.count.load(std::memory_order_relaxed);
    }
    return static_cast<double>(total);
  }

 private:
  struct Slot {
    std::atomic<std::int64_t> slice{-1};
    std::atomic<std::uint64_t> count{0};
  };
  // One more than a second's worth, so the slice being filled never overwrites one being summed.
  std::array<Slot, slices_per_second + 1> slots{};
};

}  // namespace Orvex::HardwareAPI::Haptics
