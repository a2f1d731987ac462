#pragma once

// Whether a state reply can be the arm's: a bit flipped on the line can turn a position into a
// huge or non-finite number that would otherwise become a force at the clamp. Such a reply is a
// bad reply, not the arm's state.

#include <cmath>

#include "Devices/Corvane.h"

namespace Orvex::HardwareAPI::Haptics {

// Far outside any desktop arm's workspace (tens of centimetres), and faster than a hand moves it.
constexpr float plausible_position_m = 1.0f;
constexpr float plausible_speed_m_s = 10.0f;

inline bool plausible_state(const Devices::Vector3& position, const Devices::Vector3& velocity) {
  for (int i = 0; i < 3; ++i) {
    // Written so that NaN fails each test.
    if (!(std::fabs(position[i]) <= plausible_position_m)) return false;
    if (!(std::fabs(velocity[i]) <= plausible_speed_m_s)) return false;
  }
  return true;
}

}  // namespace Orvex::HardwareAPI::Haptics
