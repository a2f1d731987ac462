#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Types.h"

namespace Orvex::Emulator {

// A pseudo-terminal that a host opens like a serial port. The emulator speaks on the master
// side and keeps the slave side open too, so the line does not hang up each time the host
// closes its descriptor.
class VirtualPort {
 public:
  // Throws std::system_error when no pseudo-terminal can be had.
  VirtualPort();
  ~VirtualPort();
  VirtualPort(const VirtualPort&) = delete;
  VirtualPort& operator=(const VirtualPort&) = delete;

  const std::string& path() const { return slave_path; }
  int descriptor() const { return master; }

  // What the host wrote, up to capacity; 0 when nothing is waiting.
  std::size_t read(std::uint8_t* into, std::size_t capacity);

  // Queues a message for the host and writes what the line takes now. Returns false, sending
  // nothing, when so much is already waiting that the host is plainly not reading.
  bool send(const Message& message);
  // Writes more of what is queued; call when the line can take it.
  void flush();
  bool has_output() const { return !output.empty(); }

 private:
  int master = -1;
  int slave = -1;
  std::string slave_path;
  Message output;
};

}  // namespace Orvex::Emulator
