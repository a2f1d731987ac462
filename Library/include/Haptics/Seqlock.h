#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <type_traits>

#include "Haptics/SingleWriter.h"

namespace Orvex::HardwareAPI::Haptics {

// A plain value handed from one writer to any number of readers without a lock: the writer never
// waits, and a reader never sees a half-written value. Each write carries a stamp that grows from
// write to write (0: never written), so a reader can also ask for one particular write and learn
// that it was overwritten. The value is kept in atomic words, so that a race is seen, not
// undefined.
template <class Value>
class Seqlock {
  static_assert(std::is_trivially_copyable_v<Value>, "a seqlock holds plain values");
  static constexpr std::size_t word_count = (sizeof(Value) + 7) / 8;

 public:
  Seqlock() = default;
  explicit Seqlock(const Value& initial) { store(initial); }
  Seqlock(const Seqlock&) = delete;
  Seqlock& operator=(const Seqlock&) = delete;

  // One writer at a time (asserted in debug builds): the caller serialises writers. The first
  // form stamps the write itself.
  void store(const Value& value) { store(value, sequence.load(std::memory_order_relaxed) / 2 + 1); }
  void store(const Value& value, std::uint64_t stamp) {
    SingleWriter::Turn turn(writer);
    std::uint64_t bits[word_count] = {};
    std::memcpy(bits, &value, sizeof(Value));
    // An odd sequence marks a write in progress.
    // Relaxed, then a release fence: the odd sequence is ordered before every word below, so a
    // reader that sees a new word also sees the sequence it must recheck.
    sequence.store(2 * stamp - 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    // Relaxed: the words are ordered by the fence above and the release below.
    for (std::size_t i = 0; i < word_count; ++i) words[i].store(bits[i], std::memory_order_relaxed);
    // Release: the words are written before a reader can see the even sequence.
    sequence.store(2 * stamp, std::memory_order_release);
  }

  // A whole value in out (zeros before the first write), or false (out unusable) when every
  // attempt met a write. The servo loop gives up after a few tries and keeps what it had, so a
  // writer preempted mid-write cannot hold it up.
  bool try_load(Value& out, int attempts = 4) const {
    for (int i = 0; i < attempts; ++i) {
      // Acquire: the words read after it are no older than the write this sequence ended.
      const std::uint64_t before = sequence.load(std::memory_order_acquire);
      if (before % 2) continue;
      if (copy_if_still(before, out)) return true;
    }
    return false;
  }

  // For threads that may wait: tries until a value comes whole.
  Value load() const {
    Value value{};
    while (!try_load(value)) std::this_thread::yield();
    return value;
  }

  // The value of the last completed write: false when none was made.
  bool read_latest(Value& value) const {
    // Acquire: pairs with the release of the first write.
    if (sequence.load(std::memory_order_acquire) == 0) return false;
    value = load();
    return true;
  }

  // Copies the value written under the stamp: false when that write was not, or is no longer,
  // what the seqlock holds.
  bool read(Value& value, std::uint64_t wanted_stamp) const {
    // Acquire: the words copied after it are those of the wanted write, or the recheck fails.
    return wanted_stamp != 0 && sequence.load(std::memory_order_acquire) == 2 * wanted_stamp &&
           copy_if_still(2 * wanted_stamp, value);
  }

 private:
  // Copies the words out; true when the sequence was still `seen` after the copy.
  bool copy_if_still(std::uint64_t seen, Value& value) const {
    std::uint64_t bits[word_count];
    // Relaxed, then an acquire fence: the words are read before the sequence is read again, so
    // a write that began meanwhile shows as a changed sequence.
    for (std::size_t i = 0; i < word_count; ++i) bits[i] = words[i].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (sequence.load(std::memory_order_relaxed) != seen) return false;
    std::memcpy(&value, bits, sizeof(Value));
    return true;
  }

  std::atomic<std::uint64_t> sequence{0};  // 2 * stamp, odd while a write is in progress
  std::atomic<std::uint64_t> words[word_count] = {};
  SingleWriter writer;
};

}  // namespace Orvex::HardwareAPI::Haptics
