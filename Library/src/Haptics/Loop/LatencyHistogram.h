#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Orvex::HardwareAPI::Haptics {

// Durations in bins of one microsecond up to 4 ms, and one bin for everything longer, with the
// longest kept exactly: fixed in size, so the loop records without allocating. One thread
// records; any thread reads.
class LatencyHistogram {
 public:
  static constexpr std::size_t bins = 4096;

  void reset();
  void record(std::int64_t nanoseconds);

  // The upper edge of the bin holding the q-th quantile (at most the longest); 0 when empty.
  double quantile_us(double q) const;
  double max_us() const;

 private:
  std::array<std::atomic<std::uint32_t>, bins + 1> counts{};
  std::atomic<std::uint64_t> total{0};
  std::atomic<std::int64_t> longest_ns{0};
};

}  // namespace Orvex::HardwareAPI::Haptics
