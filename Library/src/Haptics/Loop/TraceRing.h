#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "Haptics/ServoLoop.h"
#include "../Realtime/StampedRing.h"

namespace Orvex::HardwareAPI::Haptics {

// The last cycles of a servo loop, allocated once. The loop thread pushes; any thread copies out
// at any moment, at a cost in proportion to the rows it copies.
//
// Each row has its place in the ring's whole life, never reused across runs: a copy
// that the loop overtakes drops (and counts) the rows overwritten meanwhile instead of mixing old
// and new, and a copy that races a restart never takes an earlier run's row for this one's.
//
// Threads: push() and reset() from the loop's owner in turn (the loop thread while it runs, the
// starting thread before); copy() from any thread.
class TraceRing {
 public:
  explicit TraceRing(std::size_t capacity);

  std::size_t capacity() const { return rows.capacity(); }
  // A new run: its first push is cycle 0.
  void reset();
  void push(const TraceRow& row);
  // The run's rows after cycle after_cycle (all of them when none is given), oldest first, into
  // copy.rows (replaced); copy.overwritten counts those rows the ring no longer held.
  void copy(std::optional<std::uint64_t> after_cycle, TraceCopy& copy) const;

 private:
  StampedRing<TraceRow> rows;
  std::atomic<std::uint64_t> run_start{0};  // the place of this run's cycle 0
};

}  // namespace Orvex::HardwareAPI::Haptics
