#include "ForcePipeline.h"

#include <cmath>

#include "ForceLimit.h"
#include "Widened.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

std::uint64_t ramp_cycles(const ServoSettings& settings) {
  return static_cast<std::uint64_t>(std::llround(settings.ramp_s * settings.rate_hz));
}

}  // namespace

ForcePipeline::ForcePipeline(const ServoSettings& settings)
    : max_force(settings.max_force),
      passivity_on(settings.passivity),
      shaping(ramp_cycles(settings), settings.max_force_step.value_or(0),
              settings.max_speed.value_or(0)) {}

void ForcePipeline::reset() {
  shaping.reset();
  passivity.reset();
  starved = false;
  for (auto* counter : {&clamped_count, &non_finite_count, &speed_limited_count, &trips})
    counter->store(0, relaxed);
}

ForcePipeline::Command ForcePipeline::command(const EffectContext& context,
                                              const Vector3d& wanted, bool wanted_non_finite,
                                              bool starving) noexcept {
  Command out;
  if (wanted_non_finite) non_finite_count.fetch_add(1, relaxed);
  if (passivity_on) passivity.observe(context);
  if (starving && !starved) trips.fetch_add(1, relaxed);
  if (!starving && starved) shaping.restart_ramp(context.cycle);
  starved = starving;
  out.flags.watchdog = starving;

  Vector3d shaped{};
  if (starving) {
    // Letting go is never slowed down by the step limit.
    shaping.released();
  } else {
    const Vector3d damped = passivity_on ? passivity.filter(context, wanted) : wanted;
    const ForceShaping::Shaped result = shaping.shape(damped, context.velocity, context.cycle);
    out.flags.ramping = result.ramping;
    out.flags.step_limited = result.step_limited;
    out.flags.speed_limited = result.speed_limited;
    if (result.speed_limited) speed_limited_count.fetch_add(1, relaxed);
    if (result.non_finite && !wanted_non_finite) non_finite_count.fetch_add(1, relaxed);
    shaped = result.force;
  }
  const LimitedForce limited = limit_force(shaped, max_force);
  out.flags.clamped = limited.clamped;
  if (limited.clamped) clamped_count.fetch_add(1, relaxed);
  out.force = limited.command;
  return out;
}

void ForcePipeline::sent(const Devices::Vector3& command) noexcept {
  const Vector3d force = widened(command);
  shaping.sent(force);
  if (passivity_on) passivity.sent(force);
}

void ForcePipeline::reconnected(std::uint64_t cycle) noexcept {
  shaping.restart_ramp(cycle);
  shaping.released();
  passivity.sent({});
  passivity.sent({});
  passivity.lost_track();
}

}  // namespace Orvex::HardwareAPI::Haptics
