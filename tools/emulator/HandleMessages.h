#pragma once

// The grip's messages seen from the device: the commands it decodes and the replies it encodes.

#include <cstdint>

#include "CommandFramer.h"
#include "HandleModel.h"
#include "Types.h"

namespace Orvex::Emulator::HandleMessages {

enum Code : std::uint8_t {
  wakeup = 10,
  info = 208,
  status = 218,  // the request and the message share it
  handle_state = 219,
  error = 223,
};

constexpr std::uint8_t model_number = 2;
constexpr std::uint8_t hardware_version = 1;
constexpr std::uint8_t firmware_version = 1;
constexpr std::uint8_t tool_data_remaining = 0;

// Error codes of the error reply.
constexpr std::uint8_t unknown_command = 1;

// A handle-state command carries its user data's length in its fourth byte.
Frame frame(const std::uint8_t* bytes, std::size_t available);

// The user data of a complete handle-state command.
struct HandleState {
  std::uint16_t device_id;
  const std::uint8_t* user_data;  // into the command
  std::uint8_t length;
};
HandleState decode_handle_state(const Message& command);

Message encode_info(std::uint16_t device_id);
Message encode_status(std::uint16_t device_id, const HandlePose& pose, std::uint8_t error_flag,
                      const std::vector<std::uint8_t>& user_data);
Message encode_error(std::uint16_t device_id, std::uint8_t error_code);

const char* name(std::uint8_t code, bool from_host);

}  // namespace Orvex::Emulator::HandleMessages
