#include "FloorExchange.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "BenchWire.h"

namespace Orvex::Bench {

namespace {

// More attempts than one second of pauses holds: a device that stopped answering ends the
// exchange instead of the bench.
constexpr int max_attempts = 10000;

float float_at(const std::uint8_t* bytes) {
  float value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

}  // namespace

FloorExchange::FloorExchange(const char* port_path)
    : fd(::open(port_path, O_RDWR | O_NOCTTY | O_NONBLOCK)) {
  if (fd < 0) throw std::runtime_error("the floor could not open the port");
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::cfsetispeed(&t, B115200);
  ::cfsetospeed(&t, B115200);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  ::tcsetattr(fd, TCSANOW, &t);
}

FloorExchange::~FloorExchange() {
  ::close(fd);
}

bool FloorExchange::exchange(std::size_t i) {
  const float force[3] = {static_cast<float>(i), 1.0f, 2.0f};
  std::uint8_t command[force_command_size];
  command[0] = force_code;
  std::memcpy(command + 1, force, sizeof force);  // the host is little-endian, as the wire
  if (::write(fd, command, sizeof command) != static_cast<ssize_t>(sizeof command)) return false;

  std::uint8_t reply[state_reply_size];
  std::size_t got = 0;
  for (int attempt = 0; attempt < max_attempts; ++attempt) {
    const ssize_t r = ::read(fd, reply + got, sizeof reply - got);
    if (r > 0) got += static_cast<std::size_t>(r);
    if (got == sizeof reply) break;
    ::usleep(100);
  }
  return got == sizeof reply && reply[0] == end_effector_state_code &&
         float_at(reply + 1) == force[0] && float_at(reply + 13) == -force[0];
}

}  // namespace Orvex::Bench
