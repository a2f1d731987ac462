#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <string>

#include "IO/serialib.h"

namespace Orvex::HardwareAPI::IO {

// The library's serial port: an iostream over a serialib on a tty opened at 115200 baud, 8N1,
// raw, non-blocking, with DTR raised. It owns its buffer and so the port; devices built on it
// only point to it, so it must outlive them.
class SerialStream : public std::basic_iostream<char> {
 public:
  // Stores the path (a null path is allowed and fails to open) and opens the port at once when
  // open_now is set. Never throws for an unopenable port.
  SerialStream(const char* port_path, bool open_now);
  SerialStream(const SerialStream&) = delete;
  SerialStream& operator=(const SerialStream&) = delete;
  ~SerialStream() override;

  // 1: opened and configured; -2: open() failed, or the path is no terminal (errno ENOTTY), and
  // errno says why; -1: an exception during set-up.
  std::int8_t Open();

  // The buffer installed by Open, or null before it.
  serialib* port() const { return buffer.get(); }
  // The path given to the constructor ("" for a null path).
  const std::string& path() const { return port_path; }
  // Why the last Open failed (its errno), or 0 when it opened or never ran.
  int open_error() const { return open_errno; }

 private:
  std::string port_path;  // a copy: the caller's text may not outlive the constructor
  bool has_path;
  std::unique_ptr<serialib> buffer;
  [[maybe_unused]] bool open_now;  // the constructor's flag, kept as given
  int open_errno = 0;
};

}  // namespace Orvex::HardwareAPI::IO
