#pragma once

// The arm's messages seen from the device: the commands it decodes and the replies it encodes.

#include <cstdint>

#include "CommandFramer.h"
#include "Types.h"

namespace Orvex::Emulator::CorvaneMessages {

enum Code : std::uint8_t {
  wakeup = 10,
  device_info = 11,
  joint_torque = 26,
  joint_state = 27,
  joint_angle = 28,
  force = 42,
  end_effector_state = 43,
  position = 44,
  current = 171,  // the request and its reply share it
};

constexpr std::uint8_t model_number = 4;
constexpr std::uint8_t hardware_version = 1;
constexpr std::uint8_t firmware_version = 1;

// The commands' lengths follow from their header codes alone.
Frame frame(const std::uint8_t* bytes, std::size_t available);

// The three floats of a force, position, torque or angle command.
WireVector decode_vector(const Message& command);

Message encode_device_info(const DeviceIdentity& identity);
// An end-effector (43) or joint (27) state: two vectors.
Message encode_state(Code code, const WireVector& position, const WireVector& velocity);
Message encode_current(const WireVector& current);

const char* name(std::uint8_t code, bool from_host);

}  // namespace Orvex::Emulator::CorvaneMessages
