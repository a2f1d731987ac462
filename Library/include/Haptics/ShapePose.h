#pragma once

#include <array>

namespace Orvex::HardwareAPI::Haptics {

// How the loop moves a shape between two poses set with a time.
enum class PoseHold {
  interpolate,  // one period late, from the pose before the last to the last: no step at all
  linear,       // on from the last pose at the motion of the last two, for at most 0.1 s
};

// A shape's last two timed poses, which the loop places it between (or beyond) at each cycle.
// A pose set without a time leaves no motion: the shape stands where it was put.
struct PoseMotion {
  bool timed = false;      // the shape's pose was set with a time
  bool has_from = false;   // and one before it, earlier
  PoseHold hold = PoseHold::interpolate;
  double time_s = 0;       // the last pose's, on the layer's clock
  double from_time_s = 0;  // the one before
  std::array<double, 3> from_position{};
  std::array<double, 4> from_orientation{1, 0, 0, 0};
};

}  // namespace Orvex::HardwareAPI::Haptics
