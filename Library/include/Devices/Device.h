#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "IO/SerialStream.h"

namespace Orvex::HardwareAPI::Devices {

// Common base of the devices: a stream it does not own, and one transmit and one receive buffer.
// Every message is a header code followed by a body; the framing operations below carry them and
// report failed operations on standard error. Nothing here throws.
class Device {
 public:
  static constexpr std::size_t buffer_size = 1024;

  explicit Device(IO::SerialStream* stream);
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Sends tx_buffer[0..n).
  void WriteBytes(std::size_t n);
  // The next byte on the line, or 0 when none came.
  std::uint8_t ReadHeaderCode();
  // Reads n bytes into rx_buffer from index 0: n when all arrived, else 0.
  std::int32_t ReadBytes(std::size_t n);

  IO::SerialStream* stream;
  const std::unique_ptr<std::uint8_t[]> tx_buffer;
  const std::unique_ptr<std::uint8_t[]> rx_buffer;
};

}  // namespace Orvex::HardwareAPI::Devices
