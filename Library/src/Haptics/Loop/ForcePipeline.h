#pragma once

// The stages a servo loop's force goes through each cycle, in this order: what the effects and
// the application want -> passivity -> ramp -> step limit -> speed limit -> clamp -> finite
// check -> the command sent. This is the one place that knows the command that went out: every
// stage is told it (sent()), so the passivity account and the step limit follow what the arm
// really got, through ramps, limits and watchdog trips alike.
//
// Threads: reset() while no loop thread runs; command(), sent() and the ramp calls from the loop
// thread alone; the counters from any thread.

#include <atomic>
#include <cstdint>

#include "Devices/Corvane.h"
#include "ForceShaping.h"
#include "Haptics/Effect.h"
#include "Haptics/ServoLoop.h"
#include "PassivityController.h"

namespace Orvex::HardwareAPI::Haptics {

// What the stages did to one cycle's force.
struct StageFlags {
  bool ramping = false;
  bool step_limited = false;
  bool speed_limited = false;
  bool clamped = false;
  bool watchdog = false;  // zero commanded: the application went quiet
};

class ForcePipeline {
 public:
  explicit ForcePipeline(const ServoSettings& settings);

  void reset();

  struct Command {
    Devices::Vector3 force{};
    StageFlags flags;
  };
  // The command for the cycle in context, from the force wanted (effects plus the application's;
  // wanted_non_finite when an effect's force was left out for not being finite). A starved cycle
  // (the watchdog's) commands zero at once; the first cycle fed again starts the ramp afresh.
  Command command(const EffectContext& context, const Vector3d& wanted, bool wanted_non_finite,
                  bool starved) noexcept;
  // What went out on the wire this cycle: zero when nothing did.
  void sent(const Devices::Vector3& command) noexcept;

  // The force fades in again from this cycle (the first state there is to render).
  void restart_ramp(std::uint64_t cycle) noexcept { shaping.restart_ramp(cycle); }
  // The arm was away and is back: zero stood on it meanwhile, the ramp starts at this cycle, and
  // the passivity account picks the arm up where it is now.
  void reconnected(std::uint64_t cycle) noexcept;

  // Any thread. Counters only: relaxed, each a figure of its own.
  std::uint64_t clamped() const { return clamped_count.load(std::memory_order_relaxed); }
  std::uint64_t non_finite() const { return non_finite_count.load(std::memory_order_relaxed); }
  std::uint64_t speed_limited() const { return speed_limited_count.load(std::memory_order_relaxed); }
  std::uint64_t watchdog_trips() const { return trips.load(std::memory_order_relaxed); }
  double passivity_energy_j() const { return passivity.energy_j(); }
  std::uint64_t passivity_cycles() const { return passivity.cycles_acted(); }

 private:
  const double max_force;
  const bool passivity_on;
  ForceShaping shaping;
  PassivityController passivity;
  bool starved = false;  // the loop's own

  std::atomic<std::uint64_t> clamped_count{0}, non_finite_count{0}, speed_limited_count{0},
      trips{0};
};

}  // namespace Orvex::HardwareAPI::Haptics
