#pragma once

// A pseudo-terminal standing in for a device: the test holds the master side and sees the exact
// bytes; the library opens the slave path like a real port.

#include <termios.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Orvex::Testing {

using Bytes = std::vector<std::uint8_t>;

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& path() const { return slave_path; }
  int master() const { return master_fd; }

  // Sends bytes as the device.
  void send(const Bytes& bytes) const;
  // What the library wrote, up to n bytes, waiting at most the timeout for them all.
  Bytes receive(std::size_t n,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const;
  // Everything the library wrote within the window.
  Bytes drain(std::chrono::milliseconds window = std::chrono::milliseconds(50)) const;

  // The slave's line settings as the kernel holds them.
  termios line_settings() const;
  void set_line_settings(const termios& settings) const;

  // Hangs up the device side: later reads and writes of the library fail.
  void close_master();

 private:
  int master_fd = -1;
  int slave_fd = -1;  // held so the line stays up when the library closes its descriptor
  std::string slave_path;
};

}  // namespace Orvex::Testing
