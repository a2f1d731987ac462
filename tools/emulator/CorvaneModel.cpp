#include "CorvaneModel.h"

#include <algorithm>
#include <cmath>

namespace Orvex::Emulator {

namespace {

// The position spring is critically damped on any mass (28 N s/m on the arm's half kilogram);
// half a kilogram on 4 N s/m coasts to rest in about an eighth of a second.
constexpr double position_stiffness = 400.0;
constexpr double damping_per_root_kg = 28.0 / 0.70710678118654752;  // 28 / sqrt(0.5)
// The end stops give a tenth of a millimetre to the motors' 10 N; a joint's a milliradian to
// its 1 N m.
constexpr double end_stop_stiffness = 1e5;        // N/m
constexpr double joint_stop_stiffness = 1e3;      // N m/rad

BodyParameters end_effector_parameters(const ArmFigures& figures) {
  return {figures.mass_kg, figures.damping_ns_per_m, position_stiffness,
          damping_per_root_kg * std::sqrt(figures.mass_kg), figures.max_force_n,
          figures.workspace_m, end_stop_stiffness};
}

constexpr BodyParameters joint_parameters{
    0.01, 0.05, 20.0, 0.9, CorvaneModel::max_joint_torque_nm, CorvaneModel::joint_limit_rad,
    joint_stop_stiffness};

constexpr double amperes_per_newton = 0.2;
constexpr double amperes_per_newton_metre = 2.0;

}  // namespace

CorvaneModel::CorvaneModel(const ArmFigures& figures)
    : effector(end_effector_parameters(figures)), joint_set(joint_parameters) {}

void CorvaneModel::advance_to(double now_s) {
  if (last_s) {
    const double step = std::clamp(now_s - *last_s, 0.0, max_step_s);
    effector.advance(step, operator_hand);
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

Vector3 CorvaneModel::hand_force() const {
  return operator_hand.force(effector.position(), effector.velocity());
}

Vector3 CorvaneModel::currents() const {
  const Vector3& effort = joints_driven ? joint_set.effort() : effector.effort();
  const double gain = joints_driven ? amperes_per_newton_metre : amperes_per_newton;
  return {effort[0] * gain, effort[1] * gain, effort[2] * gain};
}

}  // namespace Orvex::Emulator
