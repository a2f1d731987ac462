#pragma once

#include <optional>

#include "Types.h"

namespace Orvex::Emulator {

struct BodyParameters {
  double mass;            // kg, or kg m^2 for a joint
  double damping;         // viscous friction, N s/m or N m s/rad
  double stiffness;       // of the spring that pulls towards a target
  double target_damping;  // of the damper beside that spring
  double max_effort;      // the actuators saturate here, per axis
  double limit;           // the end stops stand at -limit and limit on each axis
  double wall_stiffness;  // of the end stops, critically damped
};

// A load from outside the actuators: a spring-damper towards an anchor while it holds the body,
// plus a steady push. A hand on the arm is one.
struct Grip {
  std::optional<Vector3> anchor;  // nothing: not holding
  Vector3 push{};
  double stiffness = 0;
  double damping = 0;

  // The whole force on a body at x moving at v.
  Vector3 force(const Vector3& x, const Vector3& v) const;
};

// Three independent axes of a driven, damped mass between end stops, which are stiff walls. It is
// either pushed with an effort (force or torque) or pulled to a target by a spring-damper, and a
// grip may act on it beside that. No I/O: time only moves when advance() is called.
class DampedBody {
 public:
  explicit DampedBody(const BodyParameters& parameters) : p(parameters) {}

  // Each returns false, and changes nothing, for a vector that is not finite.
  bool push(const Vector3& effort);
  bool pull_to(const Vector3& target);

  void advance(double seconds, const Grip& grip = Grip{});

  const Vector3& position() const { return x; }
  const Vector3& velocity() const { return v; }
  // What the actuators give now, after saturation.
  const Vector3& effort() const { return applied; }
  const BodyParameters& parameters() const { return p; }

 private:
  double effort_on(std::size_t axis) const;
  void refresh_effort();
  void substep(double h, const Grip& grip);

  BodyParameters p;
  Vector3 x{}, v{}, applied{};
  Vector3 command{};  // the effort pushed, or the target pulled to
  bool tracking = false;
};

}  // namespace Orvex::Emulator
