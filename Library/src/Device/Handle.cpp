#include "Devices/Handle.h"

#include <cstring>

#include "HandleWire.h"
#include "LittleEndian.h"

namespace Orvex::HardwareAPI::Devices {

namespace wire = HandleWire;

namespace {

constexpr auto info_length = static_cast<std::int32_t>(wire::info_body_size);
constexpr auto status_fixed_length = static_cast<std::int32_t>(wire::status_fixed_body_size);
constexpr auto error_length = static_cast<std::int32_t>(wire::error_body_size);

}  // namespace

Handle::Handle(IO::SerialStream* stream) : Device(stream) {}

void Handle::SendDeviceWakeup() {
  tx_buffer[0] = wire::wakeup_code;
  WriteBytes(1);
}

void Handle::RequestStatus() {
  tx_buffer[0] = wire::status_code;
  WriteBytes(1);
}

void Handle::SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                             const std::uint8_t* user_data) {
  std::uint8_t* command = tx_buffer.get();
  command[0] = wire::handle_state_code;
  LittleEndian::put_u16(command + 1, device_id);
  command[3] = data_length;
  if (data_length > 0) std::memcpy(command + wire::handle_state_fixed_size, user_data, data_length);
  WriteBytes(wire::handle_state_fixed_size + data_length);
}

std::int32_t Handle::Receive() {
  switch (ReadHeaderCode()) {
    case wire::status_code:
      return ReceiveStatusMessage();
    case wire::error_code:
      return ReceiveErrorResponse();
    case wire::info_code:
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
  wire::decode_status_fixed(body, record);

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
  wire::decode_info(body, record);

  OnReceiveHandleInfo(record.tool_data_remaining, record.device_id, record.device_model_number,
                      record.hardware_version, record.firmware_version);
  OnReceiveHandleInfoRecord(record);
  return count;
}

std::int32_t Handle::ReceiveErrorResponse() {
  const std::int32_t count = ReadBytes(error_length);
  if (count != error_length) return count;

  const std::uint8_t* body = rx_buffer.get();
  HandleErrorResponseRecord record{};
  wire::decode_error(body, record);

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
