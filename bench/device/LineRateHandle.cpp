#include "LineRateHandle.h"

#include <sys/ioctl.h>

#include <chrono>
#include <cstddef>
#include <thread>

#include "BenchWire.h"
#include "WriteAll.h"

namespace Orvex::Bench {

namespace {

constexpr double line_bytes_per_s = 115200.0 / 10;  // 8N1: ten bits a byte
constexpr std::size_t sequence_size = 4;
constexpr std::size_t message_size = 1 + status_fixed_body_size + sequence_size;
constexpr int port_buffer_bytes = 4096;

void fill(std::uint8_t (&message)[message_size], std::uint32_t sequence) {
  // Device id 300, no error, hall level 77, the identity quaternion, then the sequence number.
  const std::uint8_t fixed[1 + status_fixed_body_size] = {
      status_message_code, handle_device_id & 0xFF, handle_device_id >> 8, 0, 77,
      0x00, 0x00, 0x80, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      static_cast<std::uint8_t>(sequence_size)};
  for (std::size_t i = 0; i < sizeof fixed; ++i) message[i] = fixed[i];
  for (std::size_t i = 0; i < sequence_size; ++i)
    message[sizeof fixed + i] = static_cast<std::uint8_t>(sequence >> (8 * i));
}

int waiting_bytes(int slave_fd) {
  int waiting = 0;
  ::ioctl(slave_fd, FIONREAD, &waiting);
  return waiting;
}

}  // namespace

LineTally stream_at_line_rate(int master_fd, int slave_fd, double seconds) {
  using clock = std::chrono::steady_clock;
  const auto interval = std::chrono::duration<double>(message_size / line_bytes_per_s);
  const auto start = clock::now();
  const auto end = start + std::chrono::duration_cast<clock::duration>(
                               std::chrono::duration<double>(seconds));
  LineTally tally;
  std::uint8_t message[message_size];
  for (std::uint32_t sequence = 0;; ++sequence) {
    const auto due = start + std::chrono::duration_cast<clock::duration>(interval * sequence);
    if (due >= end) break;
    std::this_thread::sleep_until(due);
    if (waiting_bytes(slave_fd) + static_cast<int>(message_size) > port_buffer_bytes) {
      ++tally.lost;
      continue;
    }
    fill(message, sequence);
    if (!write_all(master_fd, message, message_size)) break;
    ++tally.sent;
  }
  return tally;
}

}  // namespace Orvex::Bench
