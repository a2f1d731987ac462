#pragma once

// The wire's byte order, in one place: unsigned integers and IEEE 754 single-precision floats,
// little-endian, at any (unaligned) offset of a message buffer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Orvex::HardwareAPI::Devices::LittleEndian {

inline void put_u16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

inline std::uint16_t get_u16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

inline void put_u32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t get_u32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// Floats travel as their bit patterns, so NaN payloads and infinities pass unchanged.
inline void put_f32(std::uint8_t* at, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  put_u32(at, bits);
}

inline float get_f32(const std::uint8_t* at) {
  const std::uint32_t bits = get_u32(at);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// A vector of floats packed element by element, element 0 first.
template <std::size_t N>
void put_f32s(std::uint8_t* at, const std::array<float, N>& values) {
  for (std::size_t i = 0; i < N; ++i) put_f32(at + 4 * i, values[i]);
}

template <std::size_t N>
void get_f32s(const std::uint8_t* at, std::array<float, N>& values) {
  for (std::size_t i = 0; i < N; ++i) values[i] = get_f32(at + 4 * i);
}

}  // namespace Orvex::HardwareAPI::Devices::LittleEndian
