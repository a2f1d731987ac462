#include "PassivityController.h"

#include <algorithm>
#include <cmath>

#include "../Effects/EffectParameters.h"
#include "ForceLimit.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

using EffectParameters::dot;

double length(const Vector3d& v) { return std::sqrt(dot(v, v)); }

// Below this speed (m/s) damping cannot dissipate anything worth the force it would take.
constexpr double least_speed = 1e-6;

}  // namespace

void PassivityController::reset() {
  started = false;
  energy = 0;
  sent_last = sent_before = {};
  ceiling = -1;
  published_energy.store(0, std::memory_order_relaxed);
  acted.store(0, std::memory_order_relaxed);
}

void PassivityController::observe(const EffectContext& context) noexcept {
  const Vector3d& x = context.position;
  if (started) {
    const Vector3d moved{x[0] - last_position[0], x[1] - last_position[1],
                         x[2] - last_position[2]};
    energy -= dot(sent_before, moved);
  }
  started = true;
  last_position = x;
  published_energy.store(energy, std::memory_order_relaxed);
}

Vector3d PassivityController::filter(const EffectContext& context,
                                     const Vector3d& wanted) noexcept {
  const Vector3d& v = context.velocity;
  // The force being decided, counted as if the arm kept its latest velocity.
  const double speed_squared = dot(v, v);
  double expected = energy - dot(wanted, v) * context.dt;
  // Only what it would give: the work it takes is not counted before it is known.
  if (in_flight == InFlight::counted) expected -= std::max(0.0, dot(sent_last, v)) * context.dt;
  Vector3d force = wanted;
  // The damping may take away the part of the push that goes along the motion, never add a
  // force against it: the velocity is a reply old, and an arm buzzing in place reverses it from
  // one cycle to the next, so a force lengthened against the last motion lands on the next one
  // and gives the arm the very energy it was meant to take (a spring pulled to twice its force
  // and back to nothing, cycle after cycle, pumping the account further down).
  const double along = dot(wanted, v);
  const bool cut = expected < 0 && along > 0 && speed_squared > least_speed * least_speed &&
                   context.dt > 0;
  if (cut) {
    const double added_damping = std::min(-expected / (context.dt * speed_squared),
                                          along / speed_squared);
    for (std::size_t i = 0; i < 3; ++i) force[i] -= added_damping * v[i];
    acted.fetch_add(1, std::memory_order_relaxed);
  }
  return released(force, cut);
}

Vector3d PassivityController::released(const Vector3d& force, bool cut) noexcept {
  if (!(release_n > 0) || std::isinf(release_n)) return force;
  const double l = length(force);
  if (cut) {
    ceiling = l;
    return force;
  }
  if (ceiling < 0) return force;
  ceiling += release_n;
  if (ceiling >= l) {
    ceiling = -1;  // let go of entirely
    return force;
  }
  return shortened(force, ceiling).vector;
}

void PassivityController::credit(double joules) noexcept {
  energy += joules;
  published_energy.store(energy, std::memory_order_relaxed);
}

void PassivityController::sent(const Vector3d& command) noexcept {
  sent_before = sent_last;
  sent_last = command;
}

}  // namespace Orvex::HardwareAPI::Haptics
