#include "Devices/Handle.h"

#include <cstring>

#include "LittleEndian.h"

namespace Orvex::HardwareAPI::Devices {

namespace {

// Header codes. The status request and the status message share one.
constexpr std::uint8_t wakeup_header = 10;
constexpr std::uint8_t info_header = 208;
constexpr std::uint8_t status_header = 218;
constexpr std::uint8_t handle_state_header = 219;
constexpr std::uint8_t error_header = 223;

// Body lengths after the header code; a status message adds its user data to the fixed part.
constexpr std::int32_t info_length = 6;
constexpr std::int32_t status_fixed_length = 21;
constexpr std::int32_t error_length = 3;
// Header code, device_id and data_length, before the user data.
constexpr std::size_t handle_state_fixed_length = 4;

}  // namespace

Handle::Handle(IO::SerialStream* stream) : Device(stream) {}

void Handle::SendDeviceWakeup() {
  tx_buffer[0] = wakeup_header;
  WriteBytes(1);
}

void Handle::RequestStatus() {
  tx_buffer[0] = status_header;
  WriteBytes(1);
}

void Handle::SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                             const std::uint8_t* user_data) {
  std::uint8_t* command = tx_buffer.get();
  command[0] = handle_state_header;
  LittleEndian::put_u16(command + 1, device_id);
  command[3] = data_length;
  if (data_length > 0) std::memcpy(command + handle_state_fixed_length, user_data, data_length);
  WriteBytes(handle_state_fixed_length + data_length);
}

std::int32_t Handle::Receive() {
  switch (ReadHeaderCode()) {
    case status_header:
      return ReceiveStatusMessage();
    case error_header:
      return ReceiveErrorResponse();
    case info_header:
      return ReceiveInfo();
    default:
      return -1;
  }
}

// A body that came up short would be decoded from what an earlier message left in rx_buffer, so
// such a message reaches no callback; only the count tells of it.

std::int32_t Handle::ReceiveStatusMessage() {
  const std::int32_t fixed_count = ReadBytes(status_fixed_length);
  // Without the whole fixed part there is no user-data length to go by.
  if (fixed_count != status_fixed_length) return fixed_count;

  const std::uint8_t* body = rx_buffer.get();
  HandleStatusMessageRecord record{};
  record.device_id = LittleEndian::get_u16(body);
  record.error_flag = body[2];
  record.hall_effect_sensor_level = body[3];
  for (int i = 0; i < 4; ++i) record.quaternion[i] = LittleEndian::get_f32(body + 4 + 4 * i);
  record.user_data_length = body[20];

  // The user data lands over the fixed part, from index 0.
  const std::int32_t data_count = ReadBytes(record.user_data_length);
  if (data_count != record.user_data_length) return fixed_count + data_count;
  std::memcpy(record.user_data, body, record.user_data_length);

  OnReceiveHandleStatusMessage(record.device_id, record.quaternion, record.error_flag,
                               record.hall_effect_sensor_level, record.user_data_length,
                               record.user_data);
  OnReceiveHandleStatusMessageRecord(record);
  return fixed_count + data_count;
}

std::int32_t Handle::ReceiveInfo() {
  const std::int32_t count = ReadBytes(info_length);
  if (count != info_length) return count;

  const std::uint8_t* body = rx_buffer.get();
  HandleInfoRecord record{};
  record.tool_data_remaining = body[0];
  record.device_id = LittleEndian::get_u16(body + 1);
  record.device_model_number = body[3];
  record.hardware_version = body[4];
  record.firmware_version = body[5];

  OnReceiveHandleInfo(record.tool_data_remaining, record.device_id, record.device_model_number,
                      record.hardware_version, record.firmware_version);
  OnReceiveHandleInfoRecord(record);
  return count;
}

std::int32_t Handle::ReceiveErrorResponse() {
  const std::int32_t count = ReadBytes(error_length);
  if (count != error_length) return count;

  const std::uint8_t* body = rx_buffer.get();
  const HandleErrorResponseRecord record{LittleEndian::get_u16(body), body[2]};

  OnReceiveHandleErrorResponse(record.device_id, record.error_code);
  OnReceiveHandleErrorResponseRecord(record);
  return count;
}

// The defaults ignore what arrived: a plain handle reads and discards every message.

void Handle::OnReceiveHandleInfoRecord(const HandleInfoRecord&) {}

void Handle::OnReceiveHandleInfo(std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t,
                                 std::uint8_t) {}

void Handle::OnReceiveHandleStatusMessageRecord(const HandleStatusMessageRecord&) {}

void Handle::OnReceiveHandleStatusMessage(std::uint16_t, const float*, std::uint8_t, std::uint8_t,
                                          std::uint8_t, const std::uint8_t*) {}

void Handle::OnReceiveHandleErrorResponseRecord(const HandleErrorResponseRecord&) {}

void Handle::OnReceiveHandleErrorResponse(std::uint16_t, std::uint8_t) {}

}  // namespace Orvex::HardwareAPI::Devices
