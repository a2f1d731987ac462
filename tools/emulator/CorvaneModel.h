#pragma once

#include <optional>

#include "DampedBody.h"
#include "Types.h"

namespace Orvex::Emulator {

// The end effector's own figures; the defaults are the arm's.
struct ArmFigures {
  double mass_kg = 0.5;
  double damping_ns_per_m = 4.0;  // viscous friction
  double max_force_n = 10.0;      // per axis
  double workspace_m = 0.1;       // half-width of the cube the end stops enclose
};

// The arm as its host feels it: an end effector that is a damped point mass in a box-shaped
// workspace, and a simple three-joint state beside it. The last command drives one of the two;
// the other coasts to rest. An operator's hand may hold the end effector beside the commands.
// Time is given by the caller, so the model does no I/O.
class CorvaneModel {
 public:
  // A host that pauses longer than this does not see the arm jump when it comes back.
  static constexpr double max_step_s = 0.05;
  static constexpr double joint_limit_rad = 1.5;
  static constexpr double max_joint_torque_nm = 1.0;

  explicit CorvaneModel(const ArmFigures& figures = ArmFigures{});

  // Integrates from the last call to now_s, over at most max_step_s.
  void advance_to(double now_s);

  // Each returns false for a vector that is not finite; the previous drive then stays.
  bool apply_force(const Vector3& force);
  bool move_to(const Vector3& position);
  bool apply_joint_torques(const Vector3& torque);
  bool move_joints_to(const Vector3& angle);

  // The operator's hand on the end effector; it acts from the next advance on.
  Grip& hand() { return operator_hand; }
  const Grip& hand() const { return operator_hand; }
  // The hand's whole force on the end effector now.
  Vector3 hand_force() const;

  const DampedBody& end_effector() const { return effector; }
  const DampedBody& joints() const { return joint_set; }
  // Motor currents, in amperes: proportional to the effort the driven part gives now.
  Vector3 currents() const;

 private:
  bool take_over(bool accepted, bool joints);

  DampedBody effector;
  DampedBody joint_set;
  Grip operator_hand;
  bool joints_driven = false;
  std::optional<double> last_s;
};

}  // namespace Orvex::Emulator
