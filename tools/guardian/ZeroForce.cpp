#include "ZeroForce.h"

#include <unistd.h>

#include "Haptics/Loop/CorvaneLink.h"
#include "Haptics/PortLock.h"
#include "Haptics/MonotonicClock.h"
#include "IO/PortSetup.h"

namespace Orvex::HardwareAPI::Guardian {

namespace {

constexpr std::int64_t write_budget_ns = 10'000'000;
// A reply at 115200 baud takes 2.2 ms; a device that does not answer is not waited on longer.
constexpr std::int64_t reply_wait_ns = 20'000'000;

bool send_zero(int port) {
  Haptics::CorvaneLink link(port);
  // What is pending answered the program's commands.
  link.drop_pending();
  const std::int64_t now = Haptics::monotonic_ns();
  if (!link.send_force({0, 0, 0}, now + write_budget_ns)) return false;
  Devices::Vector3 position{}, velocity{};
  link.receive_state(now + reply_wait_ns, position, velocity);
  return true;
}

}  // namespace

bool command_zero_force(int port, const char* path) {
  if (send_zero(port)) return true;
  const int reopened = IO::open_serial_port(path);
  if (reopened < 0) return false;
  // A port another loop or listener took over since is its driver's alone.
  bool sent = false;
  if (Haptics::PortLock lock = Haptics::PortLock::take(reopened)) sent = send_zero(reopened);
  ::close(reopened);
  return sent;
}

}  // namespace Orvex::HardwareAPI::Guardian
