#pragma once

// What the servo loop puts on the wire for the force it wants: never something that is not a
// number, never longer than the limit.

#include "Devices/Corvane.h"
#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Haptics {

struct LimitedForce {
  Devices::Vector3 command{};
  bool clamped = false;     // shortened to the limit, direction kept
  bool non_finite = false;  // the wanted force was not finite: zero instead
};

LimitedForce limit_force(const Vector3d& wanted, double max_force) noexcept;

}  // namespace Orvex::HardwareAPI::Haptics
