#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Haptics/ChannelEmulation.h"
#include "Haptics/Effect.h"
#include "Haptics/RosEndpoint.h"

namespace Orvex::HardwareAPI::Haptics {

enum class TeleoperationRole : std::uint8_t { leader = 0, follower = 1 };

struct TeleoperationSettings {
  TeleoperationRole role = TeleoperationRole::leader;
  // The pair meets on endpoint.domain under endpoint.ns: topics
  // rt<ns>/teleoperation/leader and rt<ns>/teleoperation/follower.
  RosEndpoint endpoint;
  double stiffness = 600;     // N/m between this arm and the other's delayed position
  double damping = 8;         // N s/m between the two velocities
  double max_force = 10;      // N: this side's force is shortened to it
  double lost_after_s = 0.25; // no sample from the other side for this long: no force (ramped
                              // down over its second half)
  ChannelEmulation emulation; // delay, jitter and loss of the samples received (tests only)

  // Why these make no teleoperation side, or empty.
  std::string problem() const;
};

struct TeleoperationStats {
  std::uint64_t sent = 0;        // samples written
  std::uint64_t received = 0;    // samples of the other side taken from DDS
  std::uint64_t ignored = 0;     // samples from a side of this role, or from a second peer
  std::uint64_t implausible = 0; // the peer's samples no arm or honest side sends: refused
  std::uint64_t emulated_lost = 0;  // samples the emulation dropped
  std::uint64_t send_dropped = 0;   // cycles lost to a full queue before the sending thread
  double latency_p50_us = 0, latency_p99_us = 0, latency_max_us = 0;  // write to take, one way
  double render_p99_us = 0, render_max_us = 0;  // this side's cost on its loop's thread
  double energy_in_j = 0;       // that entered the channel at this arm
  double energy_out_j = 0;      // that the channel gave to this arm
  double peer_energy_in_j = 0;  // that entered at the other arm, as last received
  double energy_returned_j = 0; // of this side's allowance, given back to the other side
  std::uint64_t passivity_cycles = 0;  // cycles whose force the passivity controller reduced
  bool peer_present = false;    // a sample arrived within lost_after_s
  double peer_age_s = -1;       // since the last sample was delivered; -1 before the first
};

// One side of a teleoperation between two arms, each on its own servo loop, in two processes or
// machines, over DDS: an effect that pulls this arm towards the other's position and velocity as
// last received, F = stiffness (x_other - x) + damping (v_other - v) (position-position, which
// reflects the other side's contact force and corrects drift by the same spring), and sends its
// own every cycle.
//
// Stability under any delay: the time-domain passivity approach across the network (Ryu, J.-H.,
// Kwon, D.-S. and Hannaford, B. (2004), "Stable teleoperation with time-domain passivity
// control", IEEE Transactions on Robotics and Automation 20(2); Artigas, J., Ryu, J.-H., Preusche,
// C. and Hirzinger, G. (2011), "Network representation and passivity of delayed teleoperation
// systems", IROS): each side sends the energy that entered the channel at its arm since the
// start; the channel may give this arm at most what entered at the other and has arrived. The
// loop's passivity controller is credited with that allowance and dissipates whatever this side
// would give beyond it. Energies are sums since the start, so a lost sample loses nothing.
// What a side's account holds beyond a small reserve it gives back to the other side, never to
// spend it itself (energy reflection: Panzirsch, M., Ryu, J.-H. and Ferre, M. (2019), "Reducing
// the conservatism of the time domain passivity approach through consideration of energy
// reflection in delayed coupled network systems", Mechatronics 58): the leader pressing towards a
// wall puts in what only the follower may spend, and without it the leader's own account stays
// empty and its force is cut and restored with every micron its hand gives. Its controller lets
// go of a cut force gradually, so that a cut that comes again soon finds little to cut.
//
// Threads: the loop's thread renders, pushing its state into a lock-free queue that a sending
// thread writes out, and reading the other side's from a seqlocked record that a receiving thread
// fills; neither allocates or waits on the loop's path. stats() from any thread.
class Teleoperation : public Effect {
 public:
  // A side with its DDS entities and threads running, or null with the reason in problem.
  static std::shared_ptr<Teleoperation> open(const TeleoperationSettings& settings,
                                             std::string& problem);
  ~Teleoperation() override;

  const TeleoperationSettings& settings() const;
  TeleoperationStats stats() const;

  Vector3d render(const EffectContext& context, const Parameters&) noexcept override;
  void begin(const EffectContext& context) noexcept override;
  bool proxy(Vector3d& point) const noexcept override;
  bool shareable() const noexcept override { return false; }

 private:
  struct State;
  explicit Teleoperation(std::unique_ptr<State> state);
  const std::unique_ptr<State> state;
};

}  // namespace Orvex::HardwareAPI::Haptics
