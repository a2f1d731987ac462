#pragma once

#include <cstdint>

namespace Orvex::HardwareAPI::Haptics {

// Nanoseconds on CLOCK_MONOTONIC: the clock of every deadline, cycle time and recording stamp in
// the haptics layer, so that times taken by one part compare with times taken by another.
std::int64_t monotonic_ns();

}  // namespace Orvex::HardwareAPI::Haptics
