#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "Haptics/SingleWriter.h"

namespace Orvex::HardwareAPI::Haptics {

// The grace period before freeing what one real-time reader may still read: the reader brackets
// each read section (a cycle) with enter and leave; a writer that has unpublished something (an
// emptied slot, a replaced list) waits until every section that may have seen it has ended, and
// then frees it. The reader never waits; a writer waits for at most the one section under way
// (microseconds), never for the device.
//
// Threads: enter_from_reader() and leave_from_reader() from one thread at a time (asserted in
// debug builds); wait_for_readers_from_writer() from any thread, after its unpublishing store.
class ReaderEpoch {
 public:
  void enter_from_reader() noexcept {
    reader.begin();
    section = begun.fetch_add(1, std::memory_order_relaxed);  // the count is the reader's alone
    // Seq_cst, paired with the writer's: either the writer sees this section begun and waits for
    // it, or this section's loads see the writer's unpublishing (a store-load order, which only
    // seq_cst fences give).
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }

  void leave_from_reader() noexcept {
    // Release: the section's reads happen before a writer sees it ended.
    ended.store(section + 1, std::memory_order_release);
    reader.end();
  }

  void wait_for_readers_from_writer() const noexcept {
    std::atomic_thread_fence(std::memory_order_seq_cst);  // see enter_from_reader()
    const std::uint64_t sections = begun.load(std::memory_order_relaxed);  // ordered by the fence
    // Acquire: the reads of each section that saw the old publication happen before the free.
    while (ended.load(std::memory_order_acquire) < sections) std::this_thread::yield();
  }

 private:
  // Sections begun and ended: equal whenever the reader is outside one.
  std::atomic<std::uint64_t> begun{0};
  std::atomic<std::uint64_t> ended{0};
  std::uint64_t section = 0;  // the reader's: the section under way
  SingleWriter reader;
};

}  // namespace Orvex::HardwareAPI::Haptics
