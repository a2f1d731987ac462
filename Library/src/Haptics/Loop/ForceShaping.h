#pragma once

// The steps between the force the effects and the application ask for and the clamp: a ramp
// that fades the force in from zero (after a start, a watchdog trip or a reconnection), a limit
// on the change from one cycle's command to the next, and a speed above which nothing is
// commanded. Loop thread only.

#include <cstdint>

#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Haptics {

class ForceShaping {
 public:
  // ramp_cycles 0: no ramp; max_step and max_speed not above 0 or infinite: no limit.
  ForceShaping(std::uint64_t ramp_cycles, double max_step, double max_speed);

  // A new run: no ramp begun, nothing sent yet.
  void reset();
  // The force fades in from zero again, starting at this cycle.
  void restart_ramp(std::uint64_t cycle);
  // Zero was commanded without shaping (the watchdog, a lost reply): the step limit starts from
  // there.
  void released();

  struct Shaped {
    Vector3d force{};
    bool speed_limited = false;
    bool ramping = false;       // scaled down by the ramp
    bool step_limited = false;  // the change from the last command was cut to max_step
    bool non_finite = false;  // the wanted force was not finite: stepping toward zero instead
  };
  // The force to hand to the clamp, given the arm's last good velocity.
  Shaped shape(const Vector3d& wanted, const Vector3d& velocity, std::uint64_t cycle);
  // The command that went out, after the clamp: the next step is measured from it.
  void sent(const Vector3d& command) { previous = command; }

  // The ramp's factor at a cycle, from 0 at its start to 1 after ramp_cycles.
  double ramp_factor(std::uint64_t cycle) const;

 private:
  const std::uint64_t ramp_cycles;
  const double max_step;
  const double max_speed;
  std::uint64_t ramp_from = 0;
  bool speed_limiting = false;
  Vector3d previous{};
};

}  // namespace Orvex::HardwareAPI::Haptics
