// Arbitrary bytes from the device into one Corvane receive operation or exchange, run again and
// again until the line is used up. Byte 0 shapes the line, byte 1 picks the operation.
//
// Beyond the sanitizers, each call is held to the protocol: the outputs hold the reply's body
// exactly when the next bytes on the line were the expected header code and a whole body, and
// otherwise stay as they started (zeros for an exchange, the caller's values for a receive).

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Devices/Corvane.h"
#include "FuzzLine.h"
#include "IO/SerialStream.h"

namespace {

using Orvex::Fuzzing::FuzzLine;
using Orvex::HardwareAPI::Devices::Corvane;
using Orvex::HardwareAPI::Devices::DeviceInfo;
using Orvex::HardwareAPI::Devices::EndEffectorState;
using Orvex::HardwareAPI::Devices::JointState;
using Orvex::HardwareAPI::Devices::Vector3;
using Orvex::HardwareAPI::IO::SerialStream;

// The outputs of one call laid out as their body on the wire (little-endian, as this host).
using Image = std::array<std::uint8_t, 24>;

// What a receive operation finds in its outputs before the call.
constexpr std::uint8_t callers_byte = 0xA5;

void put(Image& image, std::size_t at, const Vector3& values) {
  std::memcpy(image.data() + at, values.data(), sizeof values);
}

Vector3 callers_vector() {
  Vector3 values;
  std::memset(values.data(), callers_byte, sizeof values);
  return values;
}

Image image_of(const DeviceInfo& info) {
  Image image{};
  image[0] = static_cast<std::uint8_t>(info.device_id);
  image[1] = static_cast<std::uint8_t>(info.device_id >> 8);
  image[2] = info.device_model_number;
  image[3] = info.hardware_version;
  image[4] = info.firmware_version;
  std::memcpy(image.data() + 5, info.device_id_ext.bytes.data(), info.device_id_ext.bytes.size());
  return image;
}

template <class State>
Image image_of(const State& state) {
  Image image{};
  const auto& [first, second] = state;
  put(image, 0, first);
  put(image, 12, second);
  return image;
}

DeviceInfo callers_info() {
  DeviceInfo info;
  std::memset(&info, callers_byte, sizeof info);
  return info;
}

struct Operation {
  std::uint8_t reply_code;
  std::size_t body_size;
  bool from_zero;  // an exchange; a receive keeps the caller's values
  Image (*run)(Corvane&);
};

const Operation operations[] = {
    {11, 21, true, [](Corvane& c) { return image_of(c.device_wakeup()); }},
    {43, 24, true, [](Corvane& c) { return image_of(c.end_effector_force({1, 2, 3})); }},
    {43, 24, true, [](Corvane& c) { return image_of(c.end_effector_position({1, 2, 3})); }},
    {27, 24, true, [](Corvane& c) { return image_of(c.joint_torques({1, 2, 3})); }},
    {27, 24, true, [](Corvane& c) { return image_of(c.joint_angles({1, 2, 3})); }},
    {11, 21, false,
     [](Corvane& c) {
       DeviceInfo info = callers_info();
       c.ReceiveDeviceInfo(info);
       return image_of(info);
     }},
    {43, 24, false,
     [](Corvane& c) {
       EndEffectorState state{callers_vector(), callers_vector()};
       c.ReceiveState(state.position, state.velocity);
       return image_of(state);
     }},
    {27, 24, false,
     [](Corvane& c) {
       JointState state{callers_vector(), callers_vector()};
       c.ReceiveJointState(state.joint_position, state.joint_velocity);
       return image_of(state);
     }},
    {171, 12, false,
     [](Corvane& c) {
       Vector3 current = callers_vector();
       c.RequestCurrent();
       c.ReceiveCurrent(current);
       Image image{};
       put(image, 0, current);
       return image;
     }},
};

void check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const Operation& operation = operations[data[1] % std::size(operations)];
  FuzzLine line(data[0], data + 2, size - 2);
  SerialStream stream(FuzzLine::path, true);
  Corvane corvane(&stream);

  // Every call on a good stream takes at least one byte or fails the stream.
  while (stream.good()) {
    const std::size_t start = line.position();
    const bool whole_reply = line.remaining() >= 1 + operation.body_size &&
                             *line.at(start) == operation.reply_code;
    const Image image = operation.run(corvane);

    Image expected;
    expected.fill(operation.from_zero ? 0 : callers_byte);
    if (whole_reply) std::memcpy(expected.data(), line.at(start + 1), operation.body_size);
    check(std::memcmp(image.data(), expected.data(), operation.body_size) == 0);
    check(line.position() > start || !stream.good());
  }
  return 0;
}
