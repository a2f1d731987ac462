#pragma once

// Time-domain passivity control: Hannaford, B. and Ryu, J.-H. (2002), "Time-domain passivity
// control of haptic interfaces", IEEE Transactions on Robotics and Automation 18(1).
//
// The observer keeps the energy the rendering has taken from the arm (their E_obs): a passive
// rendering (springs, dampers, walls touched and left) never gives back more than it took, so
// the sum stays at or above zero. One that falls below zero has created energy, which at high
// stiffness and a sampled, delayed loop is what makes the arm oscillate. The controller then adds
// just the damping that dissipates that energy in the cycle at hand, and nothing while the sum is
// positive, whatever the rendering is.
//
// The energy is taken from the work each force did on the arm: force f sent at cycle k stays on
// the arm until the next one, so it did f . (x_k+1 - x_k), with x_k the position in the reply to
// cycle k. That work is known two cycles late: the force being decided is counted with the
// latest velocity, so that the controller acts in time, and only the known work is kept. The
// work is that of the force the loop really sent, after its ramp, limits and watchdog: the loop
// tells the controller every command it put on the wire, zero included, and the account follows
// the arm through ramps and watchdog trips alike.
//
// The damping added takes away at most the part of the asked force that goes along the motion:
// the controller may cancel a push, never push harder, nor against the motion. Unbounded, it
// would answer a small velocity with a large force, and a damper that large, a cycle late, is
// itself what shakes an arm; a force lengthened against a velocity a reply old lands on an arm
// that has turned meanwhile, and gives it energy.
//
// Once the energy is spent, the controller cuts whatever force would give the arm energy, which
// flips with the sign of the velocity: an arm held still, jittering by microns, has its force cut
// and restored cycle after cycle, a buzz of full-force steps in the operator's hand. With a
// release rate, the dissipation element lets go of a cut force gradually: after a cycle it acted,
// the force may grow back by at most that many newtons a cycle, so a cut that comes again soon
// finds little to cut. Shortening a force never gives the arm energy, so the account is kept
// exactly as before; the cut itself stays immediate, as the account requires.

#include <atomic>
#include <cstdint>

#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Haptics {

class PassivityController {
 public:
  // What the force still on the arm will give counts as spent too, with the force being decided.
  // A rendering whose energy is an allowance (what a delayed channel's other end put in) needs
  // it: its work is known only a cycle later, and without it that cycle spends what the one
  // before already spent, a cycle's work overdrawn each time the allowance runs out.
  enum class InFlight { ignored, counted };

  // release_n: how much the force may grow back each cycle after the controller cut it; 0 (or
  // infinite) lets it come back at once.
  explicit PassivityController(InFlight in_flight = InFlight::ignored, double release_n = 0)
      : in_flight(in_flight), release_n(release_n) {}

  // While no loop thread runs: the next cycle starts a new account.
  void reset();

  // Loop thread only, each cycle in this order: observe() with the cycle's context (position and
  // velocity of the latest reply), filter() when the loop renders this cycle, then sent() with
  // the command that went out (zero when nothing did).
  void observe(const EffectContext& context) noexcept;
  // The force to send instead of wanted.
  Vector3d filter(const EffectContext& context, const Vector3d& wanted) noexcept;
  void sent(const Vector3d& command) noexcept;
  // Loop thread only: energy the rendering may give the arm beyond what it took from it (what a
  // delayed channel's other end put in), or, negative, may no longer give.
  void credit(double joules) noexcept;
  // The arm was away (a reconnection): its position jumped without work done, so the positions
  // start afresh while the energy already taken is kept.
  void lost_track() noexcept { started = false; }

  // Any thread.
  double energy_j() const { return published_energy.load(std::memory_order_relaxed); }
  std::uint64_t cycles_acted() const { return acted.load(std::memory_order_relaxed); }

 private:
  const InFlight in_flight;
  const double release_n;

  // The force as let go of after a cut; cut tells whether the controller acted this cycle.
  Vector3d released(const Vector3d& force, bool cut) noexcept;

  // The loop's own.
  bool started = false;
  double energy = 0;     // J taken from the arm by the forces whose work is known
  Vector3d last_position{};
  Vector3d sent_last{};  // the force sent at the previous cycle, on the arm now
  Vector3d sent_before{};  // the one before it, whose work the current position completes
  double ceiling = -1;     // N the force may have while a cut is let go of; negative: none

  // Read by stats() on any thread; counters only, so relaxed.
  std::atomic<double> published_energy{0};
  std::atomic<std::uint64_t> acted{0};
};

}  // namespace Orvex::HardwareAPI::Haptics
