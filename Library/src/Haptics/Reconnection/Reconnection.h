#pragma once

// A lost device coming back, for the thread that owns it (a servo loop's, a handle listener's):
// the port's path is opened again, locked, and what answers there is woken (a device that may
// only have gone quiet is first asked on the port held); only the device that was lost is adopted (the new port takes the number of the stream's descriptor, so the stream
// and its owner go on with it). Each attempt that adopts nothing says what answered at the path
// and why it was not adopted, for the owner's stats; and after give_up_ns of waiting the owner
// stops.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "Haptics/Seqlock.h"

namespace Orvex::HardwareAPI::Haptics {

// What answered at the path and why it was not adopted ("another Corvane, UUID ..."), in a
// fixed buffer: the owner's thread words it without allocating.
struct ReconnectRefusal {
  static constexpr std::size_t capacity = 96;
  char text[capacity] = {};

  void say(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
};

// The device kind's part: whether what answers on a newly opened port is the device lost.
class DeviceIdentity {
 public:
  virtual ~DeviceIdentity() = default;
  // Owner's thread: wakes what answers on port by the deadline. True when it is the device that
  // was lost; false with refusal saying what answered and why it is not adopted.
  virtual bool identify(int port, std::int64_t deadline_ns, ReconnectRefusal& refusal) = 0;
  // Whether a lost device of this kind may still be behind the port its owner holds (one that
  // only went quiet): that port is then asked first.
  virtual bool may_answer_on_held_port() const noexcept { return false; }
};

class Reconnection {
 public:
  // How often the owner tries the path again.
  static constexpr std::int64_t attempt_period_ns = 100'000'000;

  enum class Attempt { adopted, waiting, gave_up };

  // give_up_s: how long after the loss the owner stops waiting; 0 (or anything not a positive
  // finite number) waits until the owner stops.
  explicit Reconnection(double give_up_s);

  // Owner's thread: a new run, nothing lost, nothing refused, no reconnections counted.
  void restart_from_owner() noexcept;
  // Owner's thread: the device is lost now; the wait for it starts.
  void lost_from_owner(std::int64_t now_ns) noexcept;
  // Owner's thread: one attempt at the path, adopting into the descriptor `port` a device that
  // `identity` takes for the one lost, within identify_ns.
  Attempt attempt_from_owner(const std::string& path, int port, DeviceIdentity& identity,
                             std::int64_t identify_ns) noexcept;

  // Any thread.
  std::uint64_t reconnects() const noexcept { return adopted.load(std::memory_order_relaxed); }
  // The last attempt that adopted nothing, since the start: empty when none.
  std::string last_refusal() const;

 private:
  void refuse(const ReconnectRefusal& refusal) noexcept;

  const std::int64_t give_up_ns;
  std::int64_t lost_at_ns = 0;  // the owner's
  // Relaxed: a figure of its own, read for display.
  std::atomic<std::uint64_t> adopted{0};
  Seqlock<ReconnectRefusal> refused;  // written by the owner's thread alone
};

}  // namespace Orvex::HardwareAPI::Haptics
