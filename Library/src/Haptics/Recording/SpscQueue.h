#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace Orvex::HardwareAPI::Haptics {

// A queue of rows of plain values (each `width` values long, fixed when it is made) from exactly
// one producer thread to exactly one consumer thread, allocated once, that neither side ever
// waits on: a push into a full queue fails at once (the caller counts it), a pop from an empty
// one too.
//
// Contract: push() is called by one thread only, pop() by one thread only (they may differ and
// change over time only across a happens-before edge such as a thread join).
template <class Value>
class SpscQueue {
  static_assert(std::is_trivially_copyable_v<Value>, "the queue holds plain values");

 public:
  // Room for at least `capacity` rows (rounded up to a power of two, at least 2).
  explicit SpscQueue(std::size_t capacity, std::size_t width = 1)
      : size(round_up(capacity)), width(width), slots(new Value[size * width]) {}

  std::size_t capacity() const { return size; }

  bool push(const Value& value) { return push_row(&value); }

  // Copies the row's `width` values in.
  bool push_row(const Value* row) {
    const std::uint64_t tail = written.load(std::memory_order_relaxed);  // ours alone
    // Acquire: the consumer's copy out of the slot we are about to reuse is finished.
    if (tail - read.load(std::memory_order_acquire) == size) return false;
    std::copy(row, row + width, &slots[(tail & (size - 1)) * width]);
    // Release: the value is in its slot before the consumer can see the new tail.
    written.store(tail + 1, std::memory_order_release);
    return true;
  }

  // Up to `most` rows into out (room for most * width values), oldest first; returns how many.
  std::size_t pop(Value* out, std::size_t most) {
    const std::uint64_t head = read.load(std::memory_order_relaxed);  // ours alone
    // Acquire: the producer's writes into the slots up to the tail are visible.
    const std::uint64_t tail = written.load(std::memory_order_acquire);
    std::size_t n = static_cast<std::size_t>(tail - head);
    if (n > most) n = most;
    for (std::size_t i = 0; i < n; ++i) {
      const Value* row = &slots[((head + i) & (size - 1)) * width];
      std::copy(row, row + width, out + i * width);
    }
    // Release: the slots are copied out before the producer may overwrite them.
    read.store(head + n, std::memory_order_release);
    return n;
  }

 private:
  static std::size_t round_up(std::size_t wanted) {
    std::size_t size = 2;
    while (size < wanted) size *= 2;
    return size;
  }

  const std::size_t size;
  const std::size_t width;
  const std::unique_ptr<Value[]> slots;
  // Apart, so that the two threads do not fight over one cache line.
  alignas(64) std::atomic<std::uint64_t> written{0};
  alignas(64) std::atomic<std::uint64_t> read{0};
};

}  // namespace Orvex::HardwareAPI::Haptics
