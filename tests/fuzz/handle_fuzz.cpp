// Arbitrary bytes from the handle into Handle::Receive, one message after another until the line
// is used up. Byte 0 shapes the line; the rest is what the handle sends.
//
// Beyond the sanitizers, each Receive is held to the protocol: its result, the bytes it took off
// the line, and the callbacks it made (each once, field-wise first, only for a whole message,
// with the values on the wire and zeros past the user data) all follow from the next bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Devices/Handle.h"
#include "FuzzLine.h"
#include "IO/SerialStream.h"

namespace {

using Orvex::Fuzzing::FuzzLine;
using namespace Orvex::HardwareAPI::Devices;
using Orvex::HardwareAPI::IO::SerialStream;

void check(bool holds) {
  if (!holds) std::abort();
}

std::uint16_t u16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

// What one Receive must do with the bytes at the head of the line.
struct Expected {
  std::int32_t result = -1;
  std::size_t taken = 0;
  std::uint8_t code = 0;  // of the message the callbacks are due for, or 0 for none
};

Expected expected_from(const FuzzLine& line) {
  const std::size_t left = line.remaining();
  if (left == 0) return {};
  const std::uint8_t* head = line.at(line.position());
  const auto fixed_body = [&](std::size_t size) {
    if (left < 1 + size) return Expected{0, left, 0};
    return Expected{static_cast<std::int32_t>(size), 1 + size, head[0]};
  };
  switch (head[0]) {
    case 208:
      return fixed_body(6);
    case 223:
      return fixed_body(3);
    case 218: {
      if (left < 22) return {0, left, 0};
      const std::size_t data_length = head[21];
      if (left < 22 + data_length) return {21, left, 0};
      return {static_cast<std::int32_t>(21 + data_length), 22 + data_length, 218};
    }
    default:
      return {-1, 1, 0};
  }
}

class CheckingHandle : public Handle {
 public:
  using Handle::Handle;

  // The body of the message being received, and the callbacks seen so far for it.
  const std::uint8_t* body = nullptr;
  int field_calls = 0;
  int record_calls = 0;
  std::uint8_t code = 0;

  void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                           std::uint8_t device_model_number, std::uint8_t hardware_version,
                           std::uint8_t firmware_version) override {
    field_call(208);
    check(tool_data_remaining == body[0] && device_id == u16(body + 1) &&
          device_model_number == body[3] && hardware_version == body[4] &&
          firmware_version == body[5]);
  }
  void OnReceiveHandleInfoRecord(const HandleInfoRecord& r) override {
    record_call(208);
    check(r.tool_data_remaining == body[0] && r.device_id == u16(body + 1) &&
          r.device_model_number == body[3] && r.hardware_version == body[4] &&
          r.firmware_version == body[5]);
  }
  void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                    std::uint8_t error_flag, std::uint8_t hall_effect_sensor_level,
                                    std::uint8_t user_data_length,
                                    const std::uint8_t* user_data) override {
    field_call(218);
    check(device_id == u16(body) && error_flag == body[2] && hall_effect_sensor_level == body[3] &&
          std::memcmp(quaternion, body + 4, 16) == 0 && user_data_length == body[20] &&
          std::memcmp(user_data, body + 21, user_data_length) == 0);
  }
  void OnReceiveHandleStatusMessageRecord(const HandleStatusMessageRecord& r) override {
    record_call(218);
    check(r.device_id == u16(body) && r.error_flag == body[2] &&
          r.hall_effect_sensor_level == body[3] && std::memcmp(r.quaternion, body + 4, 16) == 0 &&
          r.user_data_length == body[20] &&
          std::memcmp(r.user_data, body + 21, r.user_data_length) == 0);
    for (std::size_t i = r.user_data_length; i < sizeof r.user_data; ++i) check(r.user_data[i] == 0);
  }
  void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code) override {
    field_call(223);
    check(device_id == u16(body) && error_code == body[2]);
  }
  void OnReceiveHandleErrorResponseRecord(const HandleErrorResponseRecord& r) override {
    record_call(223);
    check(r.device_id == u16(body) && r.error_code == body[2]);
  }

 private:
  void field_call(std::uint8_t kind) {
    check(field_calls == 0 && record_calls == 0);
    ++field_calls;
    code = kind;
  }
  void record_call(std::uint8_t kind) {
    check(field_calls == 1 && record_calls == 0 && code == kind);
    ++record_calls;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  FuzzLine line(data[0], data + 1, size - 1);
  SerialStream stream(FuzzLine::path, true);
  CheckingHandle handle(&stream);

  while (stream.good()) {
    const std::size_t start = line.position();
    const Expected expected = expected_from(line);
    handle.body = line.at(start) + 1;
    handle.field_calls = handle.record_calls = 0;
    handle.code = 0;

    check(handle.Receive() == expected.result);
    check(line.position() - start == expected.taken);
    check(expected.code ? handle.record_calls == 1 && handle.code == expected.code
                        : handle.field_calls == 0);
  }
  // Once the line has failed, Receive refuses at once.
  check(handle.Receive() == -1);
  return 0;
}
