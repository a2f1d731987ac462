#pragma once

// Values shared by the emulator's models, message codecs and event loop.

#include <array>
#include <cstdint>
#include <vector>

namespace Orvex::Emulator {

// Model state, in SI units (metres, radians, newtons, ...).
using Vector3 = std::array<double, 3>;
// A vector as it travels on the line: three single-precision floats.
using WireVector = std::array<float, 3>;
// One whole message on the line: header code, then body.
using Message = std::vector<std::uint8_t>;

enum class DeviceKind { corvane, handle };

inline const char* kind_name(DeviceKind kind) {
  return kind == DeviceKind::corvane ? "corvane" : "handle";
}

// Who a device says it is in its information reply.
struct DeviceIdentity {
  std::uint16_t device_id = 0;
  std::array<std::uint8_t, 16> uuid{};  // a Corvane's; a handle reports none
};

}  // namespace Orvex::Emulator
