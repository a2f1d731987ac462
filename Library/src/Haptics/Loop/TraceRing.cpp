#include "TraceRing.h"

#include <algorithm>

namespace Orvex::HardwareAPI::Haptics {

TraceRing::TraceRing(std::size_t capacity) : rows(capacity) {}

void TraceRing::reset() {
  // Release: a reader that sees the new start also sees that no row of it is pushed yet.
  run_start.store(rows.written(), std::memory_order_release);
}

void TraceRing::push(const TraceRow& row) { rows.push_from_writer(row); }

void TraceRing::copy(std::optional<std::uint64_t> after_cycle, TraceCopy& copy) const {
  copy.rows.clear();
  copy.overwritten = 0;
  for (;;) {
    // Acquire, both: a start read before the end is no later than the run the end belongs to.
    const std::uint64_t start = run_start.load(std::memory_order_acquire);
    const std::uint64_t end = rows.written();
    std::uint64_t from = start;
    if (after_cycle) from = *after_cycle >= end - start ? end : start + *after_cycle + 1;
    const std::uint64_t first = std::max(from, rows.oldest_held(end));
    copy.rows.resize(static_cast<std::size_t>(end - first));
    std::size_t copied = 0;
    for (std::uint64_t place = first; place < end; ++place) {
      // A row overwritten meanwhile means the pusher lapped this copy there: the rows before it
      // are let go too (counted as overwritten), so that the copy is one unbroken run of rows.
      if (rows.read_from_any(place, copy.rows[copied]))
        ++copied;
      else
        copied = 0;
    }
    copy.rows.resize(copied);
    // A restart meanwhile: the rows may be an earlier run's, so the copy starts again.
    if (run_start.load(std::memory_order_acquire) != start) continue;
    copy.overwritten = (end - from) - copied;
    return;
  }
}

}  // namespace Orvex::HardwareAPI::Haptics
