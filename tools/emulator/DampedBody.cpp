#include "DampedBody.h"

#include <algorithm>
#include <cmath>

namespace Orvex::Emulator {

namespace {

// The longest step; stiffer springs on a lighter mass take shorter ones, so that the stiffest
// swings at most half a radian a step, far inside semi-implicit Euler's bound of 2.
constexpr double substep_s = 0.001;
constexpr double max_swing_per_step = 0.5;

bool finite(const Vector3& v) {
  return std::all_of(v.begin(), v.end(), [](double e) { return std::isfinite(e); });
}

}  // namespace

Vector3 Grip::force(const Vector3& x, const Vector3& v) const {
  Vector3 f = push;
  if (anchor)
    for (std::size_t i = 0; i < 3; ++i)
      f[i] += stiffness * ((*anchor)[i] - x[i]) - damping * v[i];
  return f;
}

bool DampedBody::push(const Vector3& effort) {
  if (!finite(effort)) return false;
  for (std::size_t i = 0; i < 3; ++i)
    command[i] = std::clamp(effort[i], -p.max_effort, p.max_effort);
  tracking = false;
  refresh_effort();
  return true;
}

bool DampedBody::pull_to(const Vector3& target) {
  if (!finite(target)) return false;
  for (std::size_t i = 0; i < 3; ++i) command[i] = std::clamp(target[i], -p.limit, p.limit);
  tracking = true;
  refresh_effort();
  return true;
}

void DampedBody::advance(double seconds, const Grip& grip) {
  if (!(seconds > 0)) return;
  const double stiffest = p.wall_stiffness + p.stiffness + (grip.anchor ? grip.stiffness : 0);
  const double longest = std::min(substep_s, max_swing_per_step / std::sqrt(stiffest / p.mass));
  const double steps = std::ceil(seconds / longest);
  const double h = seconds / steps;
  for (double i = 0; i < steps; ++i) substep(h, grip);
}

double DampedBody::effort_on(std::size_t axis) const {
  if (!tracking) return command[axis];
  const double spring = p.stiffness * (command[axis] - x[axis]) - p.target_damping * v[axis];
  return std::clamp(spring, -p.max_effort, p.max_effort);
}

void DampedBody::refresh_effort() {
  for (std::size_t i = 0; i < 3; ++i) applied[i] = effort_on(i);
}

void DampedBody::substep(double h, const Grip& grip) {
  refresh_effort();
  const double wall_damping = 2 * std::sqrt(p.wall_stiffness * p.mass);
  const double grip_damping = grip.anchor ? grip.damping : 0;
  for (std::size_t i = 0; i < 3; ++i) {
    // The grip's spring and push are outside forces; its damper and the wall's are taken
    // implicitly, so a firm hand on a light arm stays stable.
    double outside = grip.push[i];
    if (grip.anchor) outside += grip.stiffness * ((*grip.anchor)[i] - x[i]);
    double implicit_damping = grip_damping;
    const double into = std::max(x[i] - p.limit, 0.0) + std::min(x[i] + p.limit, 0.0);
    if (into != 0) {
      outside -= p.wall_stiffness * into;
      implicit_damping += wall_damping;
    }
    v[i] = (v[i] + (applied[i] + outside - p.damping * v[i]) / p.mass * h) /
           (1 + implicit_damping * h / p.mass);
    x[i] += v[i] * h;
  }
}

}  // namespace Orvex::Emulator
