#pragma once

namespace Orvex::HardwareAPI::Haptics {

// The layer's one clock: seconds on the system's monotonic clock (CLOCK_MONOTONIC), which no
// setting of the date moves. Trace and recorded times, listener messages, coupling updates and a
// loop's start are all on it; a recording also keeps the wall clock read at its start (its
// anchor), so that recordings of two machines can be lined up.
double now();

}  // namespace Orvex::HardwareAPI::Haptics
