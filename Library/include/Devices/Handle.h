#pragma once

#include <cstddef>
#include <cstdint>

#include "Devices/Device.h"
#include "IO/SerialStream.h"

namespace Orvex::HardwareAPI::Devices {

// The handle's answer to a wake-up. The record puts device_id first; the wire puts
// tool_data_remaining first.
struct HandleInfoRecord {
  std::uint16_t device_id;
  std::uint8_t tool_data_remaining;
  std::uint8_t device_model_number;
  std::uint8_t hardware_version;
  std::uint8_t firmware_version;
};

// A status message. user_data has room for the largest count a one-byte length can give; the
// bytes past user_data_length are 0.
struct HandleStatusMessageRecord {
  static constexpr std::size_t user_data_capacity = 255;

  std::uint16_t device_id;
  float quaternion[4];
  std::uint8_t error_flag;
  std::uint8_t hall_effect_sensor_level;
  std::uint8_t user_data_length;
  std::uint8_t user_data[user_data_capacity];
};

struct HandleErrorResponseRecord {
  std::uint16_t device_id;
  std::uint8_t error_code;
};

// The hand-held grip. Commands are sent without waiting for an answer; Receive takes one message
// off the stream and hands what it decoded to the callbacks below, which subclasses override.
// For each reply kind the field-wise callback is called first, then the record one. The
// arguments and records are valid only during the call. Nothing here throws, but an exception
// thrown by a callback leaves Receive at once.
class Handle : public Device {
 public:
  explicit Handle(IO::SerialStream* stream);
  virtual ~Handle() = default;

  void SendDeviceWakeup();
  // The handle answers with a status message, for a later Receive.
  void RequestStatus();
  // user_data must hold data_length bytes; it is not read when data_length is 0.
  void SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                       const std::uint8_t* user_data);

  // Reads one message: the body bytes read after the header code (21 plus the user data for a
  // status message, 6 for an information reply, 3 for an error reply, 0 when the body came up
  // short), or -1 for any other header code, whose body is left in the stream. A message whose
  // body came up short reaches no callback.
  std::int32_t Receive();

  virtual void OnReceiveHandleInfoRecord(const HandleInfoRecord& record);
  virtual void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                                   std::uint8_t device_model_number, std::uint8_t hardware_version,
                                   std::uint8_t firmware_version);
  virtual void OnReceiveHandleStatusMessageRecord(const HandleStatusMessageRecord& record);
  virtual void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                            std::uint8_t error_flag,
                                            std::uint8_t hall_effect_sensor_level,
                                            std::uint8_t user_data_length,
                                            const std::uint8_t* user_data);
  virtual void OnReceiveHandleErrorResponseRecord(const HandleErrorResponseRecord& record);
  virtual void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code);

 private:
  std::int32_t ReceiveStatusMessage();
  std::int32_t ReceiveInfo();
  std::int32_t ReceiveErrorResponse();
};

}  // namespace Orvex::HardwareAPI::Devices
