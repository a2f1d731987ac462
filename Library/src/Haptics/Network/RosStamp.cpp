#include "RosStamp.h"

#include <ctime>

namespace Orvex::HardwareAPI::Haptics {

namespace {

std::int64_t wall_clock_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

RosTime RosStamp::at(double source_time_s) {
  const auto source_ns = static_cast<std::int64_t>(source_time_s * 1e9);
  if (!anchored || source_time_s < last_source_s) {
    offset_ns = wall_clock_ns() - source_ns;
    anchored = true;
  }
  last_source_s = source_time_s;
  std::int64_t stamp = offset_ns + source_ns;
  if (stamp <= last_ns) stamp = last_ns + 1;
  last_ns = stamp;
  return {static_cast<std::int32_t>(stamp / 1000000000),
          static_cast<std::uint32_t>(stamp % 1000000000)};
}

}  // namespace Orvex::HardwareAPI::Haptics
