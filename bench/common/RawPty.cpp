#include "RawPty.h"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace Orvex::Bench {

RawPty::RawPty() {
  char name[128] = {};
  if (::openpty(&master_fd, &slave_fd, name, nullptr, nullptr) != 0)
    throw std::runtime_error("openpty failed");
  slave_path = name;
  termios raw{};
  ::tcgetattr(slave_fd, &raw);
  ::cfmakeraw(&raw);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  ::tcsetattr(slave_fd, TCSANOW, &raw);
}

RawPty::~RawPty() {
  ::close(master_fd);
  ::close(slave_fd);
}

}  // namespace Orvex::Bench
