#include "Haptics/Coupling.h"

#include <cmath>
#include <mutex>

#include "../Effects/EffectParameters.h"
#include "../MonotonicClock.h"
#include "Haptics/Seqlock.h"
#include "ReactionLedger.h"
#include "InterpolatedHold.h"
#include "TargetHold.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

using EffectParameters::finite;
using EffectParameters::valid_gain;

bool positive(const std::optional<double>& value) {
  return !value || (std::isfinite(*value) && *value > 0);
}

// The gains in the effect's parameter record, which the loop reads whole each cycle.
enum GainSlot : std::size_t { stiffness_slot, damping_slot, max_force_slot };

Effect::Parameters gain_record(const CouplingGains& gains) {
  Effect::Parameters record{};
  record[stiffness_slot] = gains.stiffness;
  record[damping_slot] = gains.damping;
  record[max_force_slot] = gains.max_force.value_or(0);  // 0: no limit
  return record;
}

CouplingGains first_gains(const CouplingSettings& settings) {
  if (settings.problem()) return {};
  return {settings.stiffness, settings.effective_damping(), settings.max_force};
}

}  // namespace

const char* CouplingSettings::problem() const {
  if (!valid_gain(stiffness)) return "stiffness must be finite and not negative";
  if (damping && !valid_gain(*damping)) return "damping must be finite and not negative";
  if (!positive(mass)) return "mass must be finite and positive";
  if (!positive(max_force)) return "max_force must be finite and positive";
  if (hold != Hold::linear && hold != Hold::zero && hold != Hold::interpolate)
    return "hold must be linear, zero or interpolate";
  return nullptr;
}

const char* CouplingGains::problem() const {
  if (!valid_gain(stiffness)) return "stiffness must be finite and not negative";
  if (!valid_gain(damping)) return "damping must be finite and not negative";
  if (!positive(max_force)) return "max_force must be finite and positive";
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
  InterpolatedHold interpolated;
  Vector3d target{};
};

Coupling::Coupling(const CouplingSettings& settings)
    : Effect(gain_record(first_gains(settings))),
      fixed(settings),
      usable(settings.problem() == nullptr),
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
  ++next.count;
  state->updates.store(next);
  return true;
}

CouplingGains Coupling::gains() const {
  const Parameters record = parameters();
  CouplingGains gains{record[stiffness_slot], record[damping_slot], std::nullopt};
  if (record[max_force_slot] > 0) gains.max_force = record[max_force_slot];
  return gains;
}

bool Coupling::set_gains(const CouplingGains& gains) {
  if (!usable || gains.problem()) return false;
  Effect::update([&](Parameters& record) { record = gain_record(gains); });
  return true;
}

CouplingReaction Coupling::take_force() { return state->reaction.take(); }

void Coupling::begin(const EffectContext&) noexcept { state->interpolated.restart(); }

Vector3d Coupling::render(const EffectContext& context, const Parameters& gains) noexcept {
  State& s = *state;
  // While the application is writing an update, the one before it stands for this cycle.
  TargetUpdates read;
  if (s.updates.try_load(read)) s.seen = read;
  if (!s.seen.any || !usable) {
    s.target = context.position;
    s.reaction.add({}, context.dt);
    return {};
  }
  const HeldTarget held = fixed.hold == Hold::interpolate
                              ? s.interpolated.at(s.seen, context.clock)
                              : held_target(s.seen, fixed.hold, context.clock);
  s.target = held.position;
  Vector3d force{};
  for (std::size_t i = 0; i < 3; ++i)
    force[i] = gains[stiffness_slot] * (held.position[i] - context.position[i]) +
               gains[damping_slot] * (held.velocity[i] - context.velocity[i]);
  const double most = gains[max_force_slot];
  if (most > 0) {
    const double length = std::sqrt(EffectParameters::dot(force, force));
    if (length > most)
      for (double& component : force) component *= most / length;
  }
  s.reaction.add({-force[0], -force[1], -force[2]}, context.dt);
  return force;
}

bool Coupling::proxy(Vector3d& point) const noexcept {
  point = state->target;
  return usable && state->seen.any;
}

}  // namespace Orvex::HardwareAPI::Haptics
