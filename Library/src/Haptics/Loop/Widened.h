#pragma once

#include "Devices/Corvane.h"
#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Haptics {

// A Corvane's float32 values as the layer's doubles; every float is a double, so nothing is lost.
inline Vector3d widened(const Devices::Vector3& values) {
  return {values[0], values[1], values[2]};
}

}  // namespace Orvex::HardwareAPI::Haptics
