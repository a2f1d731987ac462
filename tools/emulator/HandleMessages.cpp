#include "HandleMessages.h"

#include <algorithm>

#include "Device/LittleEndian.h"
#include "WireFloats.h"

namespace Orvex::Emulator::HandleMessages {

namespace le = HardwareAPI::Devices::LittleEndian;

namespace {

constexpr std::size_t handle_state_fixed = 4;
constexpr std::size_t status_fixed = 22;  // header and fixed body, before the user data

}  // namespace

Frame frame(const std::uint8_t* bytes, std::size_t available) {
  switch (bytes[0]) {
    case wakeup:
    case status:
      return {Frame::Kind::command, 1};
    case handle_state:
      if (available < handle_state_fixed) return {Frame::Kind::incomplete, 0};
      return {Frame::Kind::command, handle_state_fixed + bytes[3]};
    default:
      return {Frame::Kind::unknown, 1};
  }
}

HandleState decode_handle_state(const Message& command) {
  return {le::get_u16(&command[1]), command.data() + handle_state_fixed, command[3]};
}

Message encode_info(std::uint16_t device_id) {
  Message reply(7);
  reply[0] = info;
  reply[1] = tool_data_remaining;
  le::put_u16(&reply[2], device_id);
  reply[4] = model_number;
  reply[5] = hardware_version;
  reply[6] = firmware_version;
  return reply;
}

Message encode_status(std::uint16_t device_id, const HandlePose& pose, std::uint8_t error_flag,
                      const std::vector<std::uint8_t>& user_data) {
  // A one-byte length cannot say more than 255.
  const std::size_t length = std::min<std::size_t>(user_data.size(), 255);
  Message reply(status_fixed + length);
  reply[0] = status;
  le::put_u16(&reply[1], device_id);
  reply[3] = error_flag;
  reply[4] = pose.hall_level;
  put_floats(&reply[5], pose.quaternion);
  reply[21] = static_cast<std::uint8_t>(length);
  std::copy_n(user_data.begin(), length, reply.begin() + status_fixed);
  return reply;
}

Message encode_error(std::uint16_t device_id, std::uint8_t error_code) {
  Message reply(4);
  reply[0] = error;
  le::put_u16(&reply[1], device_id);
  reply[3] = error_code;
  return reply;
}

const char* name(std::uint8_t code, bool from_host) {
  switch (code) {
    case wakeup:
      return "wake-up";
    case info:
      return "information";
    case status:
      return from_host ? "status request" : "status";
    case handle_state:
      return "handle state";
    case error:
      return "error";
    default:
      return "unknown";
  }
}

}  // namespace Orvex::Emulator::HandleMessages
