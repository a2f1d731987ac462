#pragma once

// Whether a state reply can be the arm's. A bit flipped on the line can turn a position into a
// huge or non-finite number, or move it by millimetres within one millisecond (an exponent bit
// halves or zeroes it); taken for the arm's state, either would become a force step no effect
// meant. Such a reply is a bad reply. Loop thread only.
//
// A reply must lie where the last accepted one predicts: x + v·dt within half the largest
// acceleration times dt², with allowances for sensor noise and for not knowing to the
// millisecond when the arm sampled. Figures, per axis:
//   - acceleration 100 m/s²: the arm's own force (10 N on some 0.5 kg of moving mass, 20 m/s²)
//     plus a hand's quick jerk (about 5 g, as hand movements reach): beyond what either makes.
//   - timing 2 ms: a reply is stamped when the command went out; the arm samples on a USB
//     frame of 1 ms after it, and the previous sample's stamp may be off by as much.
//   - noise 0.1 mm and 0.05 m/s: several encoder counts, and a velocity taken by differencing.
// At 1 kHz the window is then 0.1 mm + |v|·2 ms: a garbled exponent that moves 6.8 mm to zero
// is refused, while a hand moving the arm at 1 m/s never is.
//
// A collision or a shove can outrun that bound; two replies in a row that agree with each other
// (the second where the first predicts) are then the arm's, and the new track is taken up. A
// garbled value is never followed by one that agrees with it.

#include <cstdint>

#include "Devices/Corvane.h"

namespace Orvex::HardwareAPI::Haptics {

class ReplyCheck {
 public:
  // Far outside any desktop arm's workspace (tens of centimetres), and faster than a hand moves
  // it: no reply is taken beyond these, whatever came before.
  static constexpr double position_limit_m = 1.0;
  static constexpr double speed_limit_m_s = 10.0;
  // The prediction's allowances (see above).
  static constexpr double acceleration_limit_m_s2 = 100.0;
  static constexpr double timing_uncertainty_s = 0.002;
  static constexpr double position_noise_m = 0.0001;
  static constexpr double velocity_noise_m_s = 0.05;

  // True when the reply to a command sent at `sent_ns` can be the arm's; it then becomes the
  // reference the next reply is checked against.
  bool accept(const Devices::Vector3& position, const Devices::Vector3& velocity,
              std::int64_t sent_ns);
  // The next reply is checked on its own (after a start or a reconnection).
  void forget() { reference.held = candidate.held = false; }

 private:
  struct Sample {
    bool held = false;
    Devices::Vector3 position{};
    Devices::Vector3 velocity{};
    std::int64_t at_ns = 0;
  };
  // Whether a reply lies where the sample predicts.
  static bool predicted_by(const Sample& sample, const Devices::Vector3& position,
                           const Devices::Vector3& velocity, std::int64_t at_ns);

  Sample reference;  // the last accepted reply
  Sample candidate;  // the last refused one, which the next may confirm
};

}  // namespace Orvex::HardwareAPI::Haptics
