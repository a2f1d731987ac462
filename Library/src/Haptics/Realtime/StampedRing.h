#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Haptics/Seqlock.h"
#include "Haptics/SingleWriter.h"

namespace Orvex::HardwareAPI::Haptics {

// The last values one writer pushed, allocated once, that the writer never waits for: a full
// ring is written over its oldest value. Each value has a place in the ring's whole life
// (0, 1, 2, ...) and its slot is stamped with it, so a reader asks for a place and either gets
// that very value, whole, or learns that the writer has overwritten it; it never mixes an older
// lap's value with a newer one.
//
// Threads: push_from_writer() from one thread at a time (asserted in debug builds); written()
// and read_from_any() from any thread.
template <class Value>
class StampedRing {
 public:
  // A capacity of 0 keeps nothing: pushes are let go uncounted.
  explicit StampedRing(std::size_t capacity)
      : size(capacity), slots(capacity ? new Slot[capacity] : nullptr) {}
  StampedRing(const StampedRing&) = delete;
  StampedRing& operator=(const StampedRing&) = delete;

  std::size_t capacity() const { return size; }

  void push_from_writer(const Value& value) noexcept {
    if (size == 0) return;
    SingleWriter::Turn turn(writer);
    const std::uint64_t place = pushed.load(std::memory_order_relaxed);  // the writer's alone
    slots[place % size].store(value, place + 1);
    // Release: the value is in its slot before a reader counts it as written.
    pushed.store(place + 1, std::memory_order_release);
  }

  // Values pushed in the ring's life; each place below it holds its value or was overwritten.
  std::uint64_t written() const noexcept {
    // Acquire: pairs with push_from_writer()'s release.
    return pushed.load(std::memory_order_acquire);
  }
  // The first place a ring that had `written` values pushed still holds.
  std::uint64_t oldest_held(std::uint64_t written) const noexcept {
    return written - std::min<std::uint64_t>(written, size);
  }

  // The value at place, whole: false when that place is not (or no longer) in its slot.
  bool read_from_any(std::uint64_t place, Value& out) const noexcept {
    return size && slots[place % size].read(out, place + 1);
  }

 private:
  using Slot = Seqlock<Value>;  // stamped with its value's place + 1 (0: never written)

  const std::size_t size;
  const std::unique_ptr<Slot[]> slots;
  std::atomic<std::uint64_t> pushed{0};
  SingleWriter writer;
};

}  // namespace Orvex::HardwareAPI::Haptics
