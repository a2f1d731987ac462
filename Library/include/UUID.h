#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace Orvex::HardwareAPI {

// The 16-byte device identifier of a device-information reply, kept in wire order.
struct UUID {
  static constexpr std::size_t size = 16;
  std::array<std::uint8_t, size> bytes{};
};

}  // namespace Orvex::HardwareAPI
