#pragma once

#include <cstdint>

namespace Orvex::Bench {

struct LineTally {
  std::uint64_t sent = 0;
  std::uint64_t lost = 0;  // did not fit the port's input buffer: a real line loses them too
};

// Streams status messages as fast as a 115200-baud line carries them, for the given time. Each
// carries its sequence number (32-bit, little-endian) as user data, counting lost ones too, so
// the reader can tell which it missed. A message that does not fit the port's input buffer of
// 4096 bytes, as a tty has, is lost, as on a real line whose reader falls behind.
LineTally stream_at_line_rate(int master_fd, int slave_fd, double seconds);

}  // namespace Orvex::Bench
