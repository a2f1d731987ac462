#include "PortSetup.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Orvex::HardwareAPI::IO {

int open_serial_port(const char* path) {
  termios t;
  int fd = -1;
  if (path) {
    fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
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
  if (fd != -1) {
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
  }
  // On a port that did not open these calls fail; errno keeps saying why it did not open.
  const int cause = errno;
  int modem_bits = 0;
  ::ioctl(fd, TIOCMGET, &modem_bits);
  modem_bits |= TIOCM_DTR;
  ::ioctl(fd, TIOCMSET, &modem_bits);
  if (fd == -1) errno = cause;
  return fd;
}

}  // namespace Orvex::HardwareAPI::IO
