#pragma once

// Whether a state reply can be the arm's. A bit flipped on the line can turn a position into a
// huge or non-finite number, or move it by centimetres within one millisecond; taken for the
// arm's state, either would become a force step no effect meant. Such a reply is a bad reply.
// Loop thread only.

#include <cstdint>

#include "Devices/Corvane.h"

namespace Orvex::HardwareAPI::Haptics {

class ReplyCheck {
 public:
  // Far outside any desktop arm's workspace (tens of centimetres), and faster than a hand moves
  // it; between two replies the arm moves no faster, and speeds up no harder, than this.
  static constexpr double position_limit_m = 1.0;
  static constexpr double speed_limit_m_s = 10.0;
  static constexpr double acceleration_limit_m_s2 = 1000.0;
  // Allowed besides, for sensor noise.
  static constexpr double position_noise_m = 0.001;
  static constexpr double velocity_noise_m_s = 0.1;

  // True when the reply received at `now_ns` can be the arm's; it then becomes the reference the
  // next reply is checked against.
  bool accept(const Devices::Vector3& position, const Devices::Vector3& velocity,
              std::int64_t now_ns);
  // The next reply is checked on its own (after a start or a reconnection).
  void forget() { have_reference = false; }

 private:
  bool have_reference = false;
  Devices::Vector3 position{};
  Devices::Vector3 velocity{};
  std::int64_t at_ns = 0;
};

}  // namespace Orvex::HardwareAPI::Haptics
