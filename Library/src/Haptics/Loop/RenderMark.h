#pragma once

// The span of a cycle in which the loop thread runs effects' code: the only code of its cycle
// that is not the library's, and the only part that may never return (a law that blocks or
// spins). A supervisor that finds a span open for too long takes the device from the loop in
// one atomic step; the loop, when it comes back, finds its mark taken and never writes again,
// so the stuck cycle's force is never sent. Neither side waits for the other.
//
// The mark is one word: idle (0), taken (-1), or the monotonic time at which the open span
// began (always positive).

#include <atomic>
#include <cstdint>

namespace Orvex::HardwareAPI::Haptics {

class RenderMark {
 public:
  // Loop thread: a span begins now.
  void enter_from_loop(std::int64_t now_ns) noexcept {
    // Release: the loop's writes to the device before this span happen before a take-over
    // of it (which reads this value with acquire), so the supervisor's zero comes after them.
    mark.store(now_ns > 0 ? now_ns : 1, std::memory_order_release);
  }
  // Loop thread: the span ends. False when the device was taken meanwhile: the loop must not
  // touch it again.
  bool leave_from_loop() noexcept {
    std::int64_t open = mark.load(std::memory_order_relaxed);
    // Acq_rel: either this step or a take-over wins, never both; the loop writes again only
    // after winning.
    return open != taken && mark.compare_exchange_strong(open, idle, std::memory_order_acq_rel);
  }

  // Any thread: when the open span began, or 0 when none is open.
  std::int64_t open_span() const noexcept {
    const std::int64_t value = mark.load(std::memory_order_acquire);
    return value > 0 ? value : 0;
  }
  // Any thread: takes the device from a loop stuck in the span that began at `span`; true for
  // the one caller that did.
  bool take_over(std::int64_t span) noexcept {
    // Acq_rel: the zero that the winner then writes follows the loop's last write.
    return mark.compare_exchange_strong(span, taken, std::memory_order_acq_rel);
  }
  bool taken_over() const noexcept { return mark.load(std::memory_order_acquire) == taken; }
  // Before a loop thread starts.
  void reset() noexcept { mark.store(idle, std::memory_order_relaxed); }

 private:
  static constexpr std::int64_t idle = 0;
  static constexpr std::int64_t taken = -1;
  std::atomic<std::int64_t> mark{idle};
};

}  // namespace Orvex::HardwareAPI::Haptics
