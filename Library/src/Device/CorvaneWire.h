#pragma once

// The Corvane's messages on the wire, in one place: header codes, body sizes and the
// device-information body's layout. The device class and the servo loop's own exchange path
// both build and read messages from these.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Devices/Corvane.h"
#include "LittleEndian.h"

namespace Orvex::HardwareAPI::Devices::CorvaneWire {

// Header codes. The current request and its reply share one code.
constexpr std::uint8_t wakeup_code = 10;
constexpr std::uint8_t device_info_code = 11;
constexpr std::uint8_t force_code = 42;
constexpr std::uint8_t end_effector_state_code = 43;
constexpr std::uint8_t position_code = 44;
constexpr std::uint8_t joint_torque_code = 26;
constexpr std::uint8_t joint_state_code = 27;
constexpr std::uint8_t angle_code = 28;
constexpr std::uint8_t current_code = 171;

// Body sizes, fixed by the header code alone.
constexpr std::size_t vector_body_size = 12;
constexpr std::size_t state_body_size = 2 * vector_body_size;
constexpr std::size_t device_info_body_size = 21;

// A device-information body: id, model, hardware and firmware versions, then the UUID.
inline void decode_device_info(const std::uint8_t* body, DeviceInfo& info) {
  info.device_id = LittleEndian::get_u16(body);
  info.device_model_number = body[2];
  info.hardware_version = body[3];
  info.firmware_version = body[4];
  std::memcpy(info.device_id_ext.bytes.data(), body + 5, UUID::size);
}

}  // namespace Orvex::HardwareAPI::Devices::CorvaneWire
