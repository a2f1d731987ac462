#pragma once

// Where the loop places a shape whose poses were set with times.

#include "Haptics/Shape.h"

namespace Orvex::HardwareAPI::Haptics {

// The record with its pose at now_s (the loop's clock), as its motion's hold says: between or
// beyond its last two timed poses, the rotation along the shortest arc between them (slerp). A
// record without motion is returned as it is.
Shape::Record pose_at(const Shape::Record& record, double now_s) noexcept;

}  // namespace Orvex::HardwareAPI::Haptics
