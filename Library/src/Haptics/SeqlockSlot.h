#pragma once

// A value one thread writes and others read without a lock: the writer never waits, and a reader
// that raced a write sees it and gets nothing rather than a torn copy. The value is kept in
// atomic words, so that the race is seen, not undefined.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace Orvex::HardwareAPI::Haptics {

template <class Value>
class SeqlockSlot {
  static_assert(std::is_trivially_copyable_v<Value>, "a slot holds plain values");
  static constexpr std::size_t word_count = (sizeof(Value) + 7) / 8;

 public:
  // Writes the value under a stamp, which must grow from write to write; 0 means never written.
  // One writer only.
  void write(const Value& value, std::uint64_t stamp) {
    std::uint64_t bits[word_count] = {};
    std::memcpy(bits, &value, sizeof(Value));
    // An odd sequence marks a write in progress.
    sequence.store(2 * stamp - 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (std::size_t i = 0; i < word_count; ++i) words[i].store(bits[i], std::memory_order_relaxed);
    sequence.store(2 * stamp, std::memory_order_release);
  }

  // The stamp of the last completed write, or 0 when a write is in progress or none was made.
  std::uint64_t stamp() const {
    const std::uint64_t seen = sequence.load(std::memory_order_acquire);
    return seen % 2 ? 0 : seen / 2;
  }

  // Copies the value written under the stamp: false when that write was not, or is no longer,
  // what the slot holds.
  bool read(Value& value, std::uint64_t wanted_stamp) const {
    if (wanted_stamp == 0 || sequence.load(std::memory_order_acquire) != 2 * wanted_stamp)
      return false;
    std::uint64_t bits[word_count];
    for (std::size_t i = 0; i < word_count; ++i) bits[i] = words[i].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (sequence.load(std::memory_order_relaxed) != 2 * wanted_stamp) return false;
    std::memcpy(&value, bits, sizeof(Value));
    return true;
  }

  // The value of the last completed write: false when none was made. Retries a read that raced a
  // write, which the single writer finishes in a moment.
  bool read_latest(Value& value) const {
    for (;;) {
      const std::uint64_t seen = stamp();
      if (seen == 0 && sequence.load(std::memory_order_acquire) == 0) return false;
      if (seen != 0 && read(value, seen)) return true;
    }
  }

 private:
  std::atomic<std::uint64_t> sequence{0};
  std::atomic<std::uint64_t> words[word_count] = {};
};

}  // namespace Orvex::HardwareAPI::Haptics
