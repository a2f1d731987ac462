#include "MonotonicClock.h"

#include <time.h>

#include "Haptics/Clock.h"

namespace Orvex::HardwareAPI::Haptics {

std::int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double now() { return monotonic_ns() / 1e9; }

}  // namespace Orvex::HardwareAPI::Haptics
