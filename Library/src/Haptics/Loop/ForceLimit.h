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

// A finite vector no longer than the limit, its direction kept, for any finite length: the
// length is taken of the vector scaled by its largest element, so that a vector too long to
// square (above about 1e154) is shortened too instead of overflowing to an infinite length.
struct Shortened {
  Vector3d vector{};
  bool shortened = false;
};
Shortened shortened(const Vector3d& vector, double limit) noexcept;

// `from` moved toward `to` by a step no longer than max_step; shortened when it fell short.
Shortened stepped_toward(const Vector3d& from, const Vector3d& to, double max_step) noexcept;

}  // namespace Orvex::HardwareAPI::Haptics
