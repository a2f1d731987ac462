#include "StreamingHandle.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "BenchWire.h"
#include "WriteAll.h"

namespace Orvex::Bench {

namespace {

// Messages go out many to a write, so that the line keeps ahead of a reader that takes one message
// in a few microseconds.
constexpr std::size_t messages_per_write = 64;

struct StatusMessages {
  std::uint8_t bytes[messages_per_write * status_message_size] = {};

  StatusMessages() {
    for (std::size_t i = 0; i < messages_per_write; ++i) fill(bytes + i * status_message_size);
  }

  static void fill(std::uint8_t* bytes) {
    const float quaternion[4] = {1.0f, 0.0f, 0.0f, 0.0f};
    bytes[0] = status_message_code;
    bytes[1] = handle_device_id & 0xFF;
    bytes[2] = handle_device_id >> 8;
    bytes[3] = 0;   // error flag
    bytes[4] = 77;  // hall-effect sensor level
    std::memcpy(bytes + 5, quaternion, sizeof quaternion);
    bytes[21] = status_user_data_length;
    std::memcpy(bytes + 22, status_user_data, status_user_data_length);
  }
};

}  // namespace

void stream_status_messages(int master_fd) {
  const StatusMessages messages;
  while (write_all(master_fd, messages.bytes, sizeof messages.bytes)) {
  }
}

}  // namespace Orvex::Bench
