#include "IO/SerialStream.h"

#include <unistd.h>

#include <cerrno>

#include "IO/PortSetup.h"

namespace Orvex::HardwareAPI::IO {

SerialStream::SerialStream(const char* port_path, bool open_now)
    : std::basic_iostream<char>(nullptr),
      port_path(port_path ? port_path : ""),
      has_path(port_path != nullptr),
      open_now(open_now) {
  if (open_now) Open();
}

SerialStream::~SerialStream() {
  if (buffer && buffer->fd >= 0) {
    ::close(buffer->fd);
    buffer->fd = -1;
  }
}

std::int8_t SerialStream::Open() {
  buffer = std::make_unique<serialib>();
  rdbuf(buffer.get());
  std::int8_t result = -1;
  try {
    const int fd = open_serial_port(has_path ? port_path.c_str() : nullptr);
    open_errno = fd == -1 ? errno : 0;
    buffer->fd = fd;
    result = fd == -1 ? -2 : 1;
  } catch (...) {
    result = -1;
  }
  return result;
}

}  // namespace Orvex::HardwareAPI::IO
