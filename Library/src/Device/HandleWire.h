#pragma once

// The handle's messages on the wire, in one place: header codes, body sizes and the bodies'
// layouts. The device class and the listener's own read path both read messages with these.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Devices/Handle.h"
#include "LittleEndian.h"

namespace Orvex::HardwareAPI::Devices::HandleWire {

// Header codes. The status request and the status message share one.
constexpr std::uint8_t wakeup_code = 10;
constexpr std::uint8_t info_code = 208;
constexpr std::uint8_t status_code = 218;
constexpr std::uint8_t handle_state_code = 219;
constexpr std::uint8_t error_code = 223;

// Body sizes after the header code; a status message adds its user data to the fixed part, whose
// last byte is the user data's length.
constexpr std::size_t info_body_size = 6;
constexpr std::size_t status_fixed_body_size = 21;
constexpr std::size_t status_data_length_at = 20;
constexpr std::size_t error_body_size = 3;
// Header code, device_id and data_length, before the user data.
constexpr std::size_t handle_state_fixed_size = 4;
// The longest message a handle sends: a status with a full one-byte length of user data.
constexpr std::size_t longest_message_size =
    1 + status_fixed_body_size + HandleStatusMessageRecord::user_data_capacity;

// tool_data_remaining comes first on the wire, device_id first in the record.
inline void decode_info(const std::uint8_t* body, HandleInfoRecord& record) {
  record.tool_data_remaining = body[0];
  record.device_id = LittleEndian::get_u16(body + 1);
  record.device_model_number = body[3];
  record.hardware_version = body[4];
  record.firmware_version = body[5];
}

// The fixed part of a status body; the user data follows it on the wire.
inline void decode_status_fixed(const std::uint8_t* body, HandleStatusMessageRecord& record) {
  record.device_id = LittleEndian::get_u16(body);
  record.error_flag = body[2];
  record.hall_effect_sensor_level = body[3];
  for (int i = 0; i < 4; ++i) record.quaternion[i] = LittleEndian::get_f32(body + 4 + 4 * i);
  record.user_data_length = body[status_data_length_at];
}

inline void decode_error(const std::uint8_t* body, HandleErrorResponseRecord& record) {
  record.device_id = LittleEndian::get_u16(body);
  record.error_code = body[2];
}

}  // namespace Orvex::HardwareAPI::Devices::HandleWire
