#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Haptics {

// How the loop moves the target between two updates.
enum class Hold {
  linear,  // on from the last update at its velocity
  zero,    // still at the last update
  interpolate,  // one update period late, through each update: position and velocity continuous
};

struct CouplingSettings {
  double stiffness = 0;              // N/m: finite, not negative
  std::optional<double> damping;     // N s/m: finite, not negative; wins over mass
  std::optional<double> mass;        // kg: finite and positive; critical damping for it
  Hold hold = Hold::linear;
  std::optional<double> max_force;   // N: finite and positive; this effect's force alone

  // Why these settings make no coupling ("stiffness must be ...", ...), or null.
  const char* problem() const;
  // The damping given, else 2 sqrt(mass stiffness) for a mass, else none.
  double effective_damping() const;
};

// The gains a running coupling may change, all at once: every cycle renders one set whole.
struct CouplingGains {
  double stiffness = 0;             // N/m: finite, not negative
  double damping = 0;               // N s/m: finite, not negative
  std::optional<double> max_force;  // N: finite and positive; none for no limit

  // Why these gains make no coupling, or null.
  const char* problem() const;
};

// What the arm did to the target over some cycles: the mean reaction force (minus the force the
// coupling rendered), how many cycles it covers and the time they spanned.
struct CouplingReaction {
  Vector3d force{};
  std::uint64_t cycles = 0;
  double span_s = 0;
};

// A spring-damper between the arm and a target that the application moves at a rate of its own
// (a body of a simulation stepped at 60 Hz, say): F = stiffness (target - x) + damping
// (target velocity - v). Between updates the loop moves the target on by itself (the hold), so
// the force stays smooth at the loop's rate; the reaction it exerted goes back to the
// application through take_force(), cycle by cycle, none lost.
//
// Threads: update(), take_force(), gains() and set_gains() from any application thread (each
// kind takes its turn under a lock of its own that the loop never takes); the loop thread
// renders. One loop at a time renders a coupling (its state is its own).
class Coupling : public Effect {
 public:
  // Settings with a problem() make a coupling with no force.
  explicit Coupling(const CouplingSettings& settings);
  ~Coupling() override;

  // As made; the gains as they are now come from gains().
  const CouplingSettings& settings() const { return fixed; }
  CouplingGains gains() const;
  // Publishes all of them as one change: false (nothing changes) when they have a problem() or
  // the coupling was made with settings that have one. A mass given at the start only chose the
  // first damping: a new stiffness keeps the damping.
  bool set_gains(const CouplingGains& gains);

  // Moves the target: false (nothing changes) for a value that is not finite. Without a
  // velocity, the linear hold takes that of the last two updates; without a time, the update
  // counts as made now. Times are on the layer's clock (Haptics/Clock.h), as trace times are.
  bool update(const Vector3d& position, std::optional<Vector3d> velocity = std::nullopt,
              std::optional<double> time_s = std::nullopt);
  // The reaction since the previous call (zeros and 0 cycles when no cycle was rendered).
  CouplingReaction take_force();

  Vector3d render(const EffectContext& context, const Parameters&) noexcept override;
  void begin(const EffectContext& context) noexcept override;
  bool proxy(Vector3d& point) const noexcept override;
  bool shareable() const noexcept override { return false; }

 private:
  struct State;  // the target's hand-over, the reaction's ledger and the loop's own memory

  const CouplingSettings fixed;
  const bool usable;     // the settings have no problem
  std::unique_ptr<State> state;
};

}  // namespace Orvex::HardwareAPI::Haptics
