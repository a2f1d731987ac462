#include "AnsweringCorvane.h"

#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "BenchWire.h"
#include "WriteAll.h"

namespace Orvex::Bench {

namespace {

// The state reply to a force command: position is the force, velocity its negation.
void state_reply_to(const std::uint8_t* command, std::uint8_t* reply) {
  reply[0] = end_effector_state_code;
  for (int i = 0; i < 3; ++i) {
    float value;
    std::memcpy(&value, command + 1 + 4 * i, sizeof value);
    const float negated = -value;
    std::memcpy(reply + 1 + 4 * i, &value, sizeof value);
    std::memcpy(reply + 13 + 4 * i, &negated, sizeof negated);
  }
}

}  // namespace

void answer_force_commands(int master_fd) {
  std::uint8_t command[force_command_size];
  std::size_t held = 0;
  std::uint8_t reply[state_reply_size];
  for (;;) {
    pollfd p{master_fd, POLLIN, 0};
    if (::poll(&p, 1, -1) < 0) return;
    const ssize_t r = ::read(master_fd, command + held, force_command_size - held);
    if (r <= 0) return;
    held += static_cast<std::size_t>(r);
    if (held < force_command_size) continue;
    held = 0;
    if (command[0] != force_code) continue;
    state_reply_to(command, reply);
    if (!write_all(master_fd, reply, sizeof reply)) return;
  }
}

}  // namespace Orvex::Bench
