#include "DampedBody.h"

#include <algorithm>
#include <cmath>

namespace Orvex::Emulator {

namespace {

// Small enough for the stiffest spring of the models to stay stable with semi-implicit Euler.
constexpr double substep_s = 0.001;

bool finite(const Vector3& v) {
  return std::all_of(v.begin(), v.end(), [](double e) { return std::isfinite(e); });
}

}  // namespace

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

void DampedBody::advance(double seconds) {
  if (!(seconds > 0)) return;
  const double steps = std::ceil(seconds / substep_s);
  const double h = seconds / steps;
  for (double i = 0; i < steps; ++i) substep(h);
}

double DampedBody::effort_on(std::size_t axis) const {
  if (!tracking) return command[axis];
  const double spring = p.stiffness * (command[axis] - x[axis]) - p.target_damping * v[axis];
  return std::clamp(spring, -p.max_effort, p.max_effort);
}

void DampedBody::refresh_effort() {
  for (std::size_t i = 0; i < 3; ++i) applied[i] = effort_on(i);
}

void DampedBody::substep(double h) {
  refresh_effort();
  for (std::size_t i = 0; i < 3; ++i) {
    v[i] += (applied[i] - p.damping * v[i]) / p.mass * h;
    x[i] += v[i] * h;
    // An end stop absorbs the motion into it, and lets the mass leave it freely.
    if (x[i] > p.limit) {
      x[i] = p.limit;
      v[i] = std::min(v[i], 0.0);
    } else if (x[i] < -p.limit) {
      x[i] = -p.limit;
      v[i] = std::max(v[i], 0.0);
    }
  }
}

}  // namespace Orvex::Emulator
