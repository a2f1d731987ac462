#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "Haptics/SingleWriter.h"

namespace Orvex::HardwareAPI::Haptics {

// Rows of plain values (each `width` values long, fixed when the ring is made) from one producer
// to one consumer, allocated once, that neither side ever waits on: a push into a full ring
// fails at once (the caller counts it, or says so), a pop from an empty one too.
//
// Threads: the push_*_from_producer() calls from one thread at a time, pop_from_consumer() from
// one thread at a time (both asserted in debug builds). Several producers may share the producer side when a
// lock of their own serialises them; a side may pass to another thread across a happens-before
// edge (a join, a lock).
template <class Value>
class SpscRing {
  static_assert(std::is_trivially_copyable_v<Value>, "the ring holds plain values");

 public:
  // Room for at least `capacity` rows (rounded up to a power of two, at least 2).
  explicit SpscRing(std::size_t capacity, std::size_t width = 1)
      : size(round_up(capacity)), width(width), slots(new Value[size * width]) {}
  SpscRing(const SpscRing&) = delete;
  SpscRing& operator=(const SpscRing&) = delete;

  std::size_t capacity() const { return size; }

  bool push_from_producer(const Value& value) noexcept { return push_row_from_producer(&value); }

  // Copies the row's `width` values in.
  bool push_row_from_producer(const Value* row) noexcept {
    SingleWriter::Turn turn(producer);
    const std::uint64_t tail = written.load(std::memory_order_relaxed);  // the producer's alone
    // Acquire: the consumer's copy out of the slot about to be reused is finished.
    if (tail - read.load(std::memory_order_acquire) == size) return false;
    std::copy(row, row + width, &slots[(tail & (size - 1)) * width]);
    // Release: the value is in its slot before the consumer can see the new tail.
    written.store(tail + 1, std::memory_order_release);
    return true;
  }

  // Up to `most` rows into out (room for most * width values), oldest first; returns how many.
  std::size_t pop_from_consumer(Value* out, std::size_t most) noexcept {
    SingleWriter::Turn turn(consumer);
    const std::uint64_t head = read.load(std::memory_order_relaxed);  // the consumer's alone
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
  alignas(64) std::atomic<std::uint64_t> written{0};  // rows pushed, ever
  alignas(64) std::atomic<std::uint64_t> read{0};     // rows popped, ever
  SingleWriter producer, consumer;
};

}  // namespace Orvex::HardwareAPI::Haptics
