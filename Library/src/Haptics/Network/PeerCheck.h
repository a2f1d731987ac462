#pragma once

// Whether a sample can be the other side's. A side that sends garbage (a fault in its program,
// memory overwritten, a stranger's writer that took the peer's place) must not move this arm: a
// position its arm cannot have reached, or energy it cannot have put in, would become a force
// step, or an allowance the passivity account then spends on this arm.
//
// - Each value finite; positions and speeds within the servo loop's reply limits.
// - Motion as the loop checks its arm's replies: where the last accepted sample predicts, on the
//   sender's stamps; a new track once two samples agree with each other (a shoved arm, or garbage
//   that keeps repeating itself: either way it is taken up, never stepped to).
// - Energies: sums since the sender started, so never negative and never falling, and growing
//   no faster than power_limit_w over the sender's time since the run's first sample.
// A lower sample number starts a new run: the sender started again, its sums from zero.
//
// Receiving thread only.

#include <cstdint>

#include "Haptics/Loop/ReplyCheck.h"
#include "PeerState.h"

namespace Orvex::HardwareAPI::Haptics {

class PeerCheck {
 public:
  // Both arms' ports together (what this side granted comes back as the other's returned
  // energy): twice 20 N, more than a desktop arm holds, at the speed limit.
  static constexpr double power_limit_w = 2 * 20 * ReplyCheck::speed_limit_m_s;
  // The sums are rounded on the way; a millijoule is far below what a force can be felt by.
  static constexpr double energy_noise_j = 0.001;

  enum class Verdict {
    refused,
    accepted,
    // Accepted, but not following the last one: the first of the sender's run (its sums are
    // where it stands), or a new track its arm took (its force must come up, not step).
    taken_up,
  };

  Verdict accept(const PeerState& state, std::int64_t sent_ns);
  // The next sample starts a run (another sender taken up).
  void forget();

 private:
  bool in_run = false;
  std::uint64_t number = 0;
  PeerState last{};              // the last accepted
  double first_granted_j = 0;    // energy_in + energy_returned of the run's first sample
  std::int64_t first_sent_ns = 0;
  ReplyCheck motion{0};
};

}  // namespace Orvex::HardwareAPI::Haptics
