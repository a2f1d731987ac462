#pragma once

namespace Orvex::HardwareAPI::Haptics {

// How a shape feels: its surface's stiffness (N/m), the damping along the contact normal
// (N·s/m), and Coulomb friction on the proxy (the proxy sticks while the tangential force stays
// below static_friction × normal force, and slides against dynamic_friction × normal force).
struct Material {
  double stiffness = 1000.0;
  double damping = 0.0;
  double static_friction = 0.0;
  double dynamic_friction = 0.0;

  // Why these values cannot make a surface ("stiffness must be ..."), or nullptr when they can:
  // every value finite and not negative, and dynamic_friction not above static_friction.
  const char* problem() const noexcept;
};

}  // namespace Orvex::HardwareAPI::Haptics
