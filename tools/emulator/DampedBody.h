#pragma once

#include "Types.h"

namespace Orvex::Emulator {

struct BodyParameters {
  double mass;            // kg, or kg m^2 for a joint
  double damping;         // viscous friction, N s/m or N m s/rad
  double stiffness;       // of the spring that pulls towards a target
  double target_damping;  // of the damper beside that spring
  double max_effort;      // the actuators saturate here, per axis
  double limit;           // each coordinate stays within [-limit, limit]
};

// Three independent axes of a driven, damped mass held between end stops. It is either pushed
// with an effort (force or torque) or pulled to a target by a spring-damper. No I/O: time only
// moves when advance() is called.
class DampedBody {
 public:
  explicit DampedBody(const BodyParameters& parameters) : p(parameters) {}

  // Each returns false, and changes nothing, for a vector that is not finite.
  bool push(const Vector3& effort);
  bool pull_to(const Vector3& target);

  void advance(double seconds);

  const Vector3& position() const { return x; }
  const Vector3& velocity() const { return v; }
  // What the actuators give now, after saturation.
  const Vector3& effort() const { return applied; }

 private:
  double effort_on(std::size_t axis) const;
  void refresh_effort();
  void substep(double h);

  BodyParameters p;
  Vector3 x{}, v{}, applied{};
  Vector3 command{};  // the effort pushed, or the target pulled to
  bool tracking = false;
};

}  // namespace Orvex::Emulator
