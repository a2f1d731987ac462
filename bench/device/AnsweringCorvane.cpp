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

// The device-information reply to a wake-up: id 1, model 4, hardware 1, firmware 1, UUID zeros.
constexpr std::uint8_t device_info_reply[device_info_reply_size] = {
    device_info_code, 1, 0, corvane_model_number, 1, 1};

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
    // A wake-up is a single byte; whatever came after it is the next command's beginning.
    if (command[0] == wakeup_code) {
      std::memmove(command, command + 1, --held);
      if (!write_all(master_fd, device_info_reply, sizeof device_info_reply)) return;
      continue;
    }
    if (held < force_command_size) continue;
    held = 0;
    if (command[0] != force_code) continue;
    state_reply_to(command, reply);
    if (!write_all(master_fd, reply, sizeof reply)) return;
  }
}

}  // namespace Orvex::Bench
