#include "LibraryContenders.h"

#include <cstring>

#include "BenchWire.h"

namespace Orvex::Bench {

LibraryCorvane::LibraryCorvane(const char* port_path) : stream(port_path, true), corvane(&stream) {}

bool LibraryCorvane::exchange(std::size_t i) {
  const float x = static_cast<float>(i);
  const HardwareAPI::Devices::EndEffectorState state = corvane.end_effector_force({x, 1.0f, 2.0f});
  return state.position[0] == x && state.velocity[0] == -x;
}

// The handle base is built on the stream before the stream is opened: it only keeps the pointer.
LibraryHandle::LibraryHandle(const char* port_path) : Handle(&stream), stream(port_path, true) {}

bool LibraryHandle::exchange(std::size_t) {
  status_matched = false;
  const std::int32_t body_bytes = Receive();
  return body_bytes == static_cast<std::int32_t>(status_message_size - 1) && status_matched;
}

void LibraryHandle::OnReceiveHandleStatusMessage(std::uint16_t device_id, const float*,
                                                 std::uint8_t, std::uint8_t,
                                                 std::uint8_t user_data_length,
                                                 const std::uint8_t* user_data) {
  status_matched = device_id == handle_device_id && user_data_length == status_user_data_length &&
                   std::memcmp(user_data, status_user_data, status_user_data_length) == 0;
}

}  // namespace Orvex::Bench
