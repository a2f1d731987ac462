#pragma once

#include <atomic>
#include <cstdint>

namespace Orvex::HardwareAPI::Haptics {

// Blocks of changes to a scene's shapes that the loop takes at one cycle or not at all. While any
// block is open, the loop keeps the records it read before; a cycle that read records while a
// block opened (or opened and closed) throws that reading away and keeps the one before too.
// Blocks open at once in two threads are taken together: their changes interleave as made.
//
// Threads: open() and close() from any application thread, in pairs, nested or not; the loop's
// reading is bracketed by reading_from() and still_valid().
class UpdateBlocks {
 public:
  void open() {
    // seq_cst: the open count is seen by a reading that follows, before any of the block's
    // changes is published.
    open_count.fetch_add(1, std::memory_order_seq_cst);
    generation.fetch_add(1, std::memory_order_seq_cst);
  }
  void close() {
    // Release: the block's changes are published before a reading can find it closed.
    generation.fetch_add(1, std::memory_order_release);
    open_count.fetch_sub(1, std::memory_order_release);
  }

  // Loop thread: the stamp to check the reading against; false when a block is open.
  bool reading_from(std::uint64_t& stamp) const noexcept {
    // Acquire: pairs with close(), so the changes of a closed block are all seen.
    stamp = generation.load(std::memory_order_acquire);
    return open_count.load(std::memory_order_acquire) == 0;
  }
  // Loop thread, after reading the records: no block opened since reading_from().
  bool still_valid(std::uint64_t stamp) const noexcept {
    // The records' loads come before the stamp's second look.
    std::atomic_thread_fence(std::memory_order_acquire);
    return open_count.load(std::memory_order_relaxed) == 0 &&
           generation.load(std::memory_order_relaxed) == stamp;
  }

 private:
  std::atomic<std::uint64_t> open_count{0};
  std::atomic<std::uint64_t> generation{0};
};

}  // namespace Orvex::HardwareAPI::Haptics
