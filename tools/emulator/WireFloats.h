#pragma once

// Runs of single-precision floats at fixed message offsets, in the wire's byte order.

#include <array>
#include <cstddef>
#include <cstdint>

#include "Device/LittleEndian.h"

namespace Orvex::Emulator {

template <std::size_t N>
void put_floats(std::uint8_t* at, const std::array<float, N>& values) {
  for (std::size_t i = 0; i < N; ++i)
    HardwareAPI::Devices::LittleEndian::put_f32(at + 4 * i, values[i]);
}

template <std::size_t N>
std::array<float, N> get_floats(const std::uint8_t* at) {
  std::array<float, N> values{};
  for (std::size_t i = 0; i < N; ++i)
    values[i] = HardwareAPI::Devices::LittleEndian::get_f32(at + 4 * i);
  return values;
}

}  // namespace Orvex::Emulator
