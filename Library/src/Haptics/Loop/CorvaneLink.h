#pragma once

// The servo loop's own exchange path to a Corvane: the same messages as the device class, but
// each wait bounded by a deadline on the monotonic clock and spent in a readiness wait, and a
// reply that comes out of step dropped with whatever is pending, so that one bad byte costs one
// cycle instead of a second-long drain. The replies carry no sequence number, so which command a
// reply answers is told by when it came: input already waiting when a command goes out answers
// an earlier one and is dropped before the command is written, a reply not whole by its deadline
// is dropped with it, and a reply is taken only when nothing follows it on the line, so that the
// newest is taken and a reply cut short is never completed with the bytes of the next.
// Loop thread only; never allocates, never throws.

#include <array>
#include <cstdint>

#include "Devices/Corvane.h"

namespace Orvex::HardwareAPI::Haptics {

class CorvaneLink {
 public:
  enum class Reply {
    good,     // the whole reply came
    bad,      // a wrong header code, or a reply that stopped short: dropped with what was pending
    none,     // nothing whole came before the deadline
    hung_up,  // the port is gone
  };

  explicit CorvaneLink(int port = -1) : port(port) {}
  void attach(int descriptor) { port = descriptor; }

  // Drops all input, a reply in progress included.
  void drop_pending() noexcept;
  // Drops what waits, then writes the whole force command by the deadline: false when the write
  // failed or timed out.
  bool send_force(const Devices::Vector3& force, std::int64_t deadline_ns) noexcept;
  // Whether input was waiting when the last force command went out although the exchange before
  // it had taken a whole reply: that reply was then most likely an earlier command's, come late,
  // and the force just sent was computed from it.
  bool sent_after_stale_reply() const noexcept { return stale_reply; }
  // The end-effector state that answers it, by the deadline.
  Reply receive_state(std::int64_t deadline_ns, Devices::Vector3& position,
                      Devices::Vector3& velocity) noexcept;
  // The wake-up exchange: good with info filled, or why not.
  Reply wakeup(std::int64_t deadline_ns, Devices::DeviceInfo& info) noexcept;

 private:
  // Drops the input that answers earlier commands, then writes `count` bytes of `outgoing`.
  bool write_command(std::size_t count, std::int64_t deadline_ns) noexcept;
  bool write_all(std::size_t count, std::int64_t deadline_ns) noexcept;
  // Reads the header code and body_size bytes into `incoming`.
  Reply read_message(std::uint8_t code, std::size_t body_size, std::int64_t deadline_ns) noexcept;

  int port;
  std::array<std::uint8_t, 32> outgoing{};
  std::array<std::uint8_t, 32> incoming{};
  bool took_reply = false;   // the last exchange ended with a whole reply
  bool stale_reply = false;  // see sent_after_stale_reply()
};

}  // namespace Orvex::HardwareAPI::Haptics
