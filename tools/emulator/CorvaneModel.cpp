#include "CorvaneModel.h"

#include <algorithm>

namespace Orvex::Emulator {

namespace {

// Half a kilogram on 4 N s/m settles in about an eighth of a second; the position spring is
// critically damped.
constexpr BodyParameters end_effector_parameters{
    0.5, 4.0, 400.0, 28.0, CorvaneModel::max_force_n, CorvaneModel::workspace_half_width_m};
constexpr BodyParameters joint_parameters{
    0.01, 0.05, 20.0, 0.9, CorvaneModel::max_joint_torque_nm, CorvaneModel::joint_limit_rad};

constexpr double amperes_per_newton = 0.2;
constexpr double amperes_per_newton_metre = 2.0;

}  // namespace

CorvaneModel::CorvaneModel() : effector(end_effector_parameters), joint_set(joint_parameters) {}

void CorvaneModel::advance_to(double now_s) {
  if (last_s) {
    const double step = std::clamp(now_s - *last_s, 0.0, max_step_s);
    effector.advance(step);
    joint_set.advance(step);
  }
  // A clock that steps back restarts the count from there rather than freezing the arm.
  last_s = now_s;
}

bool CorvaneModel::apply_force(const Vector3& force) {
  return take_over(effector.push(force), false);
}

bool CorvaneModel::move_to(const Vector3& position) {
  return take_over(effector.pull_to(position), false);
}

bool CorvaneModel::apply_joint_torques(const Vector3& torque) {
  return take_over(joint_set.push(torque), true);
}

bool CorvaneModel::move_joints_to(const Vector3& angle) {
  return take_over(joint_set.pull_to(angle), true);
}

bool CorvaneModel::take_over(bool accepted, bool joints) {
  if (!accepted) return false;
  joints_driven = joints;
  // The motors do one thing at a time: the part not commanded is let go.
  (joints ? effector : joint_set).push({0, 0, 0});
  return true;
}

Vector3 CorvaneModel::currents() const {
  const Vector3& effort = joints_driven ? joint_set.effort() : effector.effort();
  const double gain = joints_driven ? amperes_per_newton_metre : amperes_per_newton;
  return {effort[0] * gain, effort[1] * gain, effort[2] * gain};
}

}  // namespace Orvex::Emulator
