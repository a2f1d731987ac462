#include "IO/SerialStream.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>

#include <cstring>

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
  int fd = -1;
  try {
    termios t;
    if (has_path) {
      fd = ::open(port_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    } else {
      errno = EFAULT;  // what open() says of a null path, without handing it one
    }
    // Only a terminal answers the settings query. Anything else (a mistyped path naming a file,
    // a disk, a pipe) is let go untouched, as if it had not opened, so no command is written
    // into it.
    if (fd != -1 && ::tcgetattr(fd, &t) != 0) {
      ::close(fd);
      fd = -1;
      errno = ENOTTY;
    }
    buffer->fd = fd;
    if (fd == -1) {
      result = -2;
    } else {
      ::fcntl(fd, F_SETFL, O_NONBLOCK);
      std::memset(&t, 0, sizeof t);
      ::cfsetispeed(&t, B115200);
      ::cfsetospeed(&t, B115200);
      t.c_iflag |= IGNBRK | IGNPAR;
      t.c_cflag |= CS8 | CREAD | CLOCAL;
      t.c_cc[VTIME] = 0;
      t.c_cc[VMIN] = 0;
      ::tcsetattr(fd, TCSANOW, &t);
      // Bytes already waiting answer no request of this stream: a reply that came after an
      // earlier stream gave up would otherwise be taken for the answer to the first command.
      ::tcflush(fd, TCIFLUSH);
      result = 1;
    }
    // On a port that did not open these calls fail; errno keeps saying why it did not open.
    const int cause = errno;
    int modem_bits = 0;
    ::ioctl(fd, TIOCMGET, &modem_bits);
    modem_bits |= TIOCM_DTR;
    ::ioctl(fd, TIOCMSET, &modem_bits);
    if (fd == -1) errno = cause;
  } catch (...) {
    result = -1;
  }
  return result;
}

}  // namespace Orvex::HardwareAPI::IO
