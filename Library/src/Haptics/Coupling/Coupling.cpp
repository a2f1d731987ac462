#include "Haptics/Coupling.h"

#include <cmath>
#include <mutex>

#include "../Effects/EffectParameters.h"
#include "../MonotonicClock.h"
#include "Haptics/Seqlock.h"
#include "ReactionLedger.h"
#include "TargetHold.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

using EffectParameters::finite;
using EffectParameters::valid_gain;

bool positive(const std::optional<double>& value) {
  return !value || (std::isfinite(*value) && *value > 0);
}

}  // namespace

const char* CouplingSettings::problem() const {
  if (!valid_gain(stiffness)) return "stiffness must be finite and not negative";
  if (damping && !valid_gain(*damping)) return "damping must be finite and not negative";
  if (!positive(mass)) return "mass must be finite and positive";
  if (!positive(max_force)) return "max_force must be finite and positive";
  if (hold != Hold::linear && hold != Hold::zero) return "hold must be linear or zero";
  return nullptr;
}

double CouplingSettings::effective_damping() const {
  if (damping) return *damping;
  if (mass) return 2 * std::sqrt(*mass * stiffness);
  return 0;
}

struct Coupling::State {
  std::mutex updaters;       // never taken by the loop
  TargetUpdates written{};   // under updaters
  Seqlock<TargetUpdates> updates;
  ReactionLedger reaction;

  // The loop's own.
  TargetUpdates seen{};
  Vector3d target{};
};

Coupling::Coupling(const CouplingSettings& settings)
    : fixed(settings),
      usable(settings.problem() == nullptr),
      damping(usable ? settings.effective_damping() : 0),
      state(std::make_unique<State>()) {}

Coupling::~Coupling() = default;

bool Coupling::update(const Vector3d& position, std::optional<Vector3d> velocity,
                      std::optional<double> time_s) {
  if (!finite(position) || (velocity && !finite(*velocity)) ||
      (time_s && !std::isfinite(*time_s)))
    return false;
  TargetUpdate made;
  made.position = position;
  made.has_velocity = velocity.has_value();
  if (velocity) made.velocity = *velocity;
  made.timed = time_s.has_value();
  if (time_s) made.time_s = *time_s;
  made.made_ns = monotonic_ns();

  std::lock_guard<std::mutex> turn(state->updaters);
  TargetUpdates& next = state->written;
  next.has_previous = next.any;
  next.previous = next.latest;
  next.latest = made;
  next.any = true;
  state->updates.store(next);
  return true;
}

CouplingReaction Coupling::take_force() { return state->reaction.take(); }

Vector3d Coupling::render(const EffectContext& context, const Parameters&) noexcept {
  State& s = *state;
  // While the application is writing an update, the one before it stands for this cycle.
  TargetUpdates read;
  if (s.updates.try_load(read)) s.seen = read;
  if (!s.seen.any || !usable) {
    s.target = context.position;
    s.reaction.add({}, context.dt);
    return {};
  }
  const HeldTarget held = held_target(s.seen, fixed.hold, context.clock);
  s.target = held.position;
  Vector3d force{};
  for (std::size_t i = 0; i < 3; ++i)
    force[i] = fixed.stiffness * (held.position[i] - context.position[i]) +
               damping * (held.velocity[i] - context.velocity[i]);
  if (fixed.max_force) {
    const double length = std::sqrt(EffectParameters::dot(force, force));
    if (length > *fixed.max_force)
      for (double& component : force) component *= *fixed.max_force / length;
  }
  s.reaction.add({-force[0], -force[1], -force[2]}, context.dt);
  return force;
}

bool Coupling::proxy(Vector3d& point) const noexcept {
  point = state->target;
  return usable && state->seen.any;
}

}  // namespace Orvex::HardwareAPI::Haptics
