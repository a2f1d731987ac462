#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Haptics/Seqlock.h"
#include "Haptics/ServoLoop.h"

namespace Orvex::HardwareAPI::Haptics {

// The last cycles of a servo loop, allocated once. The loop thread pushes; any thread copies out
// at any moment. Each row is stamped with its cycle, so a copy that the loop overtakes drops the
// rows overwritten meanwhile instead of mixing old and new.
class TraceRing {
 public:
  explicit TraceRing(std::size_t capacity);

  std::size_t capacity() const { return size; }
  void reset();
  void push(const TraceRow& row);
  // Up to capacity() rows into out, oldest first; returns how many.
  std::size_t copy(TraceRow* out) const;

 private:
  using Slot = Seqlock<TraceRow>;  // stamped with its cycle number + 1

  std::size_t size;
  std::unique_ptr<Slot[]> slots;
  std::atomic<std::uint64_t> written{0};
};

}  // namespace Orvex::HardwareAPI::Haptics
