#pragma once

#include <atomic>
#include <cassert>

namespace Orvex::HardwareAPI::Haptics {

// The rule every lock-free hand-over of the haptics layer rests on: one side is written by one
// thread at a time. Writers serialised by a lock of their own, or one thread handing the part to
// another across a join, keep it; two writers at the same instant break it. Debug builds assert
// it on each write: a second writer that finds the first one still inside stops the program.
// Release builds check nothing.
//
// The flag is always a member, so that a part has one layout whether NDEBUG is set or not.
class SingleWriter {
 public:
  // Brackets a write that spans calls (a read section of the one reader, say).
  void begin() noexcept {
#ifndef NDEBUG
    // Relaxed: the flag orders nothing, it only has to be seen by a writer that overlaps.
    const bool taken = writing.exchange(true, std::memory_order_relaxed);
    assert(!taken && "a second thread writes a single-writer part at the same time");
    (void)taken;
#endif
  }
  void end() noexcept {
#ifndef NDEBUG
    writing.store(false, std::memory_order_relaxed);  // see begin()
#endif
  }

  // Brackets one write in a scope: `SingleWriter::Turn turn(writer);`.
  class Turn {
   public:
    explicit Turn(SingleWriter& owner) noexcept : owner(owner) { owner.begin(); }
    ~Turn() { owner.end(); }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

   private:
    SingleWriter& owner;
  };

 private:
  // Unused where NDEBUG is set: kept for the one layout (above).
  [[maybe_unused]] std::atomic<bool> writing{false};
};

}  // namespace Orvex::HardwareAPI::Haptics
