#pragma once

// Cuts the handle's bytes into whole messages without ever waiting on the line: the listener
// reads whatever the port holds, and a message is taken once all its bytes are in. A message
// whose bytes stop coming breaks off at its deadline instead of holding the line up; it is
// dropped with what followed it, and the next bytes are read afresh. A message whose framing
// only the bytes after it can confirm is held back until they come, or until its deadline.
// Listener thread only; never allocates, never blocks.

#include <array>
#include <cstddef>
#include <cstdint>

#include "Device/HandleWire.h"

namespace Orvex::HardwareAPI::Haptics {

class HandleFramer {
 public:
  // From a message's first byte to its last: the longest message takes 24 ms at 115200 baud,
  // and a wireless link delivers in bursts.
  static constexpr std::int64_t message_wait_ns = 100'000'000;

  enum class Read {
    some,     // bytes came (or none were waiting)
    hung_up,  // the port failed
  };
  // Appends what the port holds, without waiting.
  Read read_from(int port, std::int64_t now_ns) noexcept;

  enum class Next {
    message,     // a whole message: message() and size(), until the next call
    unknown,     // a byte where a header code was due that starts no handle message: dropped
    broken_off,  // a message that did not complete by its deadline: dropped with what followed
    wait,        // nothing whole yet
  };
  Next next(std::int64_t now_ns) noexcept;
  const std::uint8_t* message() const { return bytes.data() + taken; }
  std::size_t size() const { return taken_size; }

  // What is held after the message just taken: the start of the messages after it.
  struct Following {
    const std::uint8_t* bytes;
    std::size_t size;
    bool final;  // nothing came after the message by its deadline
  };
  Following following() const { return {bytes.data() + start, end - start, quiet_after}; }
  // Takes the message just taken back until more bytes come or its deadline passes; next() then
  // hands it over again.
  void await_following() noexcept;

  // The last `count` bytes of the message just taken belong to the messages after it.
  void put_back(std::size_t count) noexcept { start -= count; }

  // When the message in progress breaks off; 0 when none is.
  std::int64_t deadline_ns() const { return start < end ? started_ns + message_wait_ns : 0; }
  // Forgets everything held (a reopened port).
  void clear() noexcept;

 private:
  // The whole size of the message at the front, 0 while that is not yet known, or -1 when its
  // first byte is no header code of a handle message.
  long front_size() const noexcept;

  // Room for a message in progress and a full read behind it.
  std::array<std::uint8_t, 4 * Devices::HandleWire::longest_message_size> bytes{};
  std::size_t start = 0;  // first byte not yet taken
  std::size_t end = 0;    // one past the last byte read
  std::size_t taken = 0, taken_size = 0;
  std::int64_t started_ns = 0;        // when the message at the front began to arrive
  std::int64_t taken_started_ns = 0;  // when the message just taken did
  std::int64_t last_read_ns = 0;
  bool awaiting = false;        // the message at the front awaits the bytes after it
  std::size_t awaited_end = 0;  // `end` when it began to
  bool quiet_after = false;     // the message handed over awaited them in vain
};

}  // namespace Orvex::HardwareAPI::Haptics
