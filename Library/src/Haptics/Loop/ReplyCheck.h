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
//   - timing 10 ms: a reply is stamped when it arrives, which lags the arm's sample by a USB
//     frame (1 ms) on a real arm, and by however long the scheduler holds either side on a
//     loaded machine (an emulated arm's process, or the loop's own wake-up): replies sampled
//     10 ms apart were seen arriving 0.2 ms apart.
//   - noise 0.1 mm and 0.05 m/s: several encoder counts, and a velocity taken by differencing.
// At 1 kHz the window is then 0.15 mm + |v|·10 ms: at rest a garbled exponent that moves 6.8 mm
// to zero, or a high mantissa bit that halves a position, is refused, while a hand moving the
// arm at 1 m/s never is.
//
// A collision or a shove can outrun that bound; two replies in a row that agree with each other
// (the second where the first predicts) are then the arm's, and the new track is taken up. A
// garbled value is never followed by one that agrees with it. Whatever the cause, a state held
// for long is worse than a doubtful one (a stiff surface the arm sinks into unseen): after three
// refusals in a row the next plausible reply is taken.

#include <cstdint>

#include "Devices/Corvane.h"
#include "Haptics/Effect.h"
#include "Widened.h"

namespace Orvex::HardwareAPI::Haptics {

class ReplyCheck {
 public:
  // Far outside any desktop arm's workspace (tens of centimetres), and faster than a hand moves
  // it: no reply is taken beyond these, whatever came before.
  static constexpr double position_limit_m = 1.0;
  static constexpr double speed_limit_m_s = 10.0;
  // The prediction's allowances (see above).
  static constexpr double acceleration_limit_m_s2 = 100.0;
  static constexpr double timing_uncertainty_s = 0.010;
  static constexpr int longest_refusal_run = 3;
  static constexpr double position_noise_m = 0.0001;
  static constexpr double velocity_noise_m_s = 0.05;

  // refusal_run: refusals in a row after which the next plausible reply is taken anyway; 0 for
  // a source that has no arm of its own to lose track of (a peer's samples: only a new track
  // that two of them agree on is taken up).
  explicit ReplyCheck(int refusal_run = longest_refusal_run) : refusal_run(refusal_run) {}

  // True when the reply that arrived at `arrived_ns` can be the arm's; it then becomes the
  // reference the next reply is checked against.
  bool accept(const Devices::Vector3& position, const Devices::Vector3& velocity,
              std::int64_t arrived_ns) {
    return accept_sample(widened(position), widened(velocity), arrived_ns);
  }
  // The same for an arm's state in the layer's doubles (another side's arm, sent at `at_ns`).
  bool accept_sample(const Vector3d& position, const Vector3d& velocity, std::int64_t at_ns);
  // Whether the reply last accepted began a track (the first, or not where the one before
  // predicts) rather than following the one before.
  bool began_track() const { return began; }
  // The next reply is checked on its own (after a start or a reconnection).
  void forget() {
    reference.held = candidate.held = false;
    refused_in_a_row = 0;
  }

 private:
  struct Sample {
    bool held = false;
    Vector3d position{};
    Vector3d velocity{};
    std::int64_t at_ns = 0;
  };
  // Whether a reply lies where the sample predicts.
  static bool predicted_by(const Sample& sample, const Vector3d& position,
                           const Vector3d& velocity, std::int64_t at_ns);

  Sample reference;  // the last accepted reply
  Sample candidate;  // the last refused one, which the next may confirm
  int refused_in_a_row = 0;
  bool began = false;
  int refusal_run;
};

}  // namespace Orvex::HardwareAPI::Haptics
