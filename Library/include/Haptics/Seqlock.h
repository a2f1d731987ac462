#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace Orvex::HardwareAPI::Haptics {

// A fixed record of N doubles handed from one writer to any number of readers without a lock:
// the writer never waits, and a reader never sees a half-written record. A reader that finds a
// write in progress tries again; the servo loop gives up after a few tries and keeps the record
// it had, so a writer that is preempted mid-write cannot hold it up.
template <std::size_t N>
class Seqlock {
 public:
  using Values = std::array<double, N>;

  Seqlock() = default;
  explicit Seqlock(const Values& initial) { store(initial); }
  Seqlock(const Seqlock&) = delete;
  Seqlock& operator=(const Seqlock&) = delete;

  // One writer at a time: the caller serialises writers.
  void store(const Values& values) {
    const std::uint32_t begun = sequence.load(std::memory_order_relaxed) + 1;
    sequence.store(begun, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (std::size_t i = 0; i < N; ++i) slots[i].store(values[i], std::memory_order_relaxed);
    sequence.store(begun + 1, std::memory_order_release);
  }

  // A consistent record in out, or false (out unusable) when every attempt met a write.
  bool try_load(Values& out, int attempts = 4) const {
    for (int i = 0; i < attempts; ++i) {
      const std::uint32_t before = sequence.load(std::memory_order_acquire);
      if (before & 1u) continue;
      for (std::size_t j = 0; j < N; ++j) out[j] = slots[j].load(std::memory_order_relaxed);
      std::atomic_thread_fence(std::memory_order_acquire);
      if (sequence.load(std::memory_order_relaxed) == before) return true;
    }
    return false;
  }

  // For threads that may wait: tries until a record comes whole.
  Values load() const {
    Values values{};
    while (!try_load(values)) std::this_thread::yield();
    return values;
  }

 private:
  std::atomic<std::uint32_t> sequence{0};
  std::array<std::atomic<double>, N> slots{};
};

}  // namespace Orvex::HardwareAPI::Haptics
