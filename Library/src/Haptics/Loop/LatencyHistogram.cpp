#include "LatencyHistogram.h"

#include <algorithm>
#include <cmath>

namespace Orvex::HardwareAPI::Haptics {

namespace {
constexpr auto relaxed = std::memory_order_relaxed;
}

void LatencyHistogram::reset() {
  for (auto& count : counts) count.store(0, relaxed);
  total.store(0, relaxed);
  longest_ns.store(0, relaxed);
}

void LatencyHistogram::record(std::int64_t nanoseconds) {
  nanoseconds = std::max<std::int64_t>(nanoseconds, 0);
  const auto bin = std::min<std::uint64_t>(static_cast<std::uint64_t>(nanoseconds) / 1000, bins);
  counts[bin].fetch_add(1, relaxed);
  total.fetch_add(1, relaxed);
  if (nanoseconds > longest_ns.load(relaxed)) longest_ns.store(nanoseconds, relaxed);
}

double LatencyHistogram::quantile_us(double q) const {
  const std::uint64_t n = total.load(relaxed);
  if (n == 0) return 0;
  const auto rank = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(q * n)));
  std::uint64_t seen = 0;
  for (std::size_t bin = 0; bin < bins; ++bin) {
    seen += counts[bin].load(relaxed);
    if (seen >= rank) return std::min(static_cast<double>(bin + 1), max_us());
  }
  return max_us();
}

double LatencyHistogram::max_us() const { return longest_ns.load(relaxed) / 1000.0; }

}  // namespace Orvex::HardwareAPI::Haptics
