#include "ReplyCheck.h"

#include <cmath>

namespace Orvex::HardwareAPI::Haptics {

bool ReplyCheck::accept(const Devices::Vector3& new_position, const Devices::Vector3& new_velocity,
                        std::int64_t now_ns) {
  const double elapsed_s = have_reference ? (now_ns - at_ns) / 1e9 : 0;
  const double largest_move = speed_limit_m_s * elapsed_s + position_noise_m;
  const double largest_change = acceleration_limit_m_s2 * elapsed_s + velocity_noise_m_s;
  for (int i = 0; i < 3; ++i) {
    // Each test is written so that NaN fails it.
    if (!(std::fabs(new_position[i]) <= position_limit_m)) return false;
    if (!(std::fabs(new_velocity[i]) <= speed_limit_m_s)) return false;
    if (have_reference) {
      if (!(std::fabs(double{new_position[i]} - position[i]) <= largest_move)) return false;
      if (!(std::fabs(double{new_velocity[i]} - velocity[i]) <= largest_change)) return false;
    }
  }
  position = new_position;
  velocity = new_velocity;
  at_ns = now_ns;
  have_reference = true;
  return true;
}

}  // namespace Orvex::HardwareAPI::Haptics
