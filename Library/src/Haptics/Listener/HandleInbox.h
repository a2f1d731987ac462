#pragma once

// Where a listener's thread leaves what it decoded, for the application to take: a queue of fixed
// capacity that drops its oldest message when full, the latest status and information reply kept
// apart, and the counts. The thread (the only writer) never waits; readers take their own lock
// among themselves, never one the thread needs.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "Haptics/HandleListener.h"
#include "Haptics/HandleMessage.h"
#include "Haptics/Seqlock.h"
#include "../Realtime/StampedRing.h"
#include "../Recording/RecordingTap.h"
#include "OrientationLink.h"
#include "StatusRateWindow.h"

namespace Orvex::HardwareAPI::Haptics {

class HandleInbox {
 public:
  explicit HandleInbox(std::size_t capacity);

  // Listener thread: a decoded message, and a header code that is no handle message.
  void put(const HandleMessage& message, std::int64_t now_ms);
  void count_unknown() { unknown.fetch_add(1, std::memory_order_relaxed); }
  void count_refused() { refused.fetch_add(1, std::memory_order_relaxed); }
  // Listener thread: wakes every reader waiting, also when the thread ends.
  void wake_readers();

  std::size_t capacity() const { return ring.capacity(); }

  // Every message put is offered here, numbered from 0, for a recording the application runs.
  RecordingTap recording;
  // Every status message put turns the shape linked here, if any.
  OrientationLink orientation_link;

  bool latest_status(HandleMessage& message) const { return latest[0].read_latest(message); }
  bool latest_info(HandleMessage& message) const { return latest[1].read_latest(message); }

  bool take(HandleMessage& message);
  // Waits until a message is queued, done() holds, or the timeout passes: true when one is queued.
  template <class Done>
  bool wait(std::chrono::nanoseconds timeout, Done&& done);

  // Messages put so far: the number the next one gets.
  std::uint64_t put_count() const { return ring.written(); }
  // The counts; rate and stop reason are the caller's to fill in.
  HandleListenerStats counts(std::int64_t now_ms) const;

 private:
  bool has_message() const;
  std::uint64_t lost_to_lag(std::uint64_t put_count, std::uint64_t taken) const;

  StampedRing<HandleMessage> ring;  // message n at place n
  std::atomic<std::uint64_t> taken_total{0};  // taken, or found overwritten
  std::atomic<std::uint64_t> overwritten_total{0};

  Seqlock<HandleMessage> latest[2];  // status, information

  std::atomic<std::uint64_t> status{0};
  std::atomic<std::uint64_t> info{0};
  std::atomic<std::uint64_t> errors{0};
  std::atomic<std::uint64_t> unknown{0};
  std::atomic<std::uint64_t> refused{0};
  StatusRateWindow rate;

  // Readers only: one takes at a time, and waiting readers sleep here. The thread notifies
  // without taking the lock, so a waiting reader also looks again every few milliseconds.
  std::mutex readers;
  std::condition_variable arrived;
};

template <class Done>
bool HandleInbox::wait(std::chrono::nanoseconds timeout, Done&& done) {
  static constexpr auto look_again = std::chrono::milliseconds(10);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> hold(readers);
  for (;;) {
    if (has_message()) return true;
    if (done()) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    arrived.wait_until(hold, std::min(deadline, now + look_again));
  }
}

}  // namespace Orvex::HardwareAPI::Haptics
