#include "CorvaneMessages.h"

#include <algorithm>

#include "Device/LittleEndian.h"
#include "WireFloats.h"

namespace Orvex::Emulator::CorvaneMessages {

namespace le = HardwareAPI::Devices::LittleEndian;

Frame frame(const std::uint8_t* bytes, std::size_t) {
  switch (bytes[0]) {
    case wakeup:
    case current:
      return {Frame::Kind::command, 1};
    case force:
    case position:
    case joint_torque:
    case joint_angle:
      return {Frame::Kind::command, 13};
    default:
      return {Frame::Kind::unknown, 1};
  }
}

WireVector decode_vector(const Message& command) {
  return get_floats<3>(command.data() + 1);
}

Message encode_device_info(const DeviceIdentity& identity) {
  Message reply(22);
  reply[0] = device_info;
  le::put_u16(&reply[1], identity.device_id);
  reply[3] = model_number;
  reply[4] = hardware_version;
  reply[5] = firmware_version;
  std::copy(identity.uuid.begin(), identity.uuid.end(), reply.begin() + 6);
  return reply;
}

Message encode_state(Code code, const WireVector& position, const WireVector& velocity) {
  Message reply(25);
  reply[0] = code;
  put_floats(&reply[1], position);
  put_floats(&reply[13], velocity);
  return reply;
}

Message encode_current(const WireVector& amperes) {
  Message reply(13);
  reply[0] = current;
  put_floats(&reply[1], amperes);
  return reply;
}

const char* name(std::uint8_t code, bool from_host) {
  switch (code) {
    case wakeup:
      return "wake-up";
    case device_info:
      return "device information";
    case joint_torque:
      return "joint torque";
    case joint_state:
      return "joint state";
    case joint_angle:
      return "joint angle";
    case force:
      return "end-effector force";
    case end_effector_state:
      return "end-effector state";
    case position:
      return "end-effector position";
    case current:
      return from_host ? "current request" : "current";
    default:
      return "unknown";
  }
}

}  // namespace Orvex::Emulator::CorvaneMessages
