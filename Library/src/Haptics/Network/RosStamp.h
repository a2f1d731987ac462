#pragma once

#include <cstdint>

namespace Orvex::HardwareAPI::Haptics {

// builtin_interfaces/Time: seconds and nanoseconds (below 1e9) of the system's wall clock, the
// clock ROS 2 stamps headers with.
struct RosTime {
  std::int32_t sec = 0;
  std::uint32_t nanosec = 0;
};

// Stamps for events timed on a clock of their own (a loop's seconds since its start): each is
// the wall-clock time of the event, anchored once when the first event is seen (and again when
// the source's clock starts over), and always later than the stamp before it.
//
// Threads: one thread stamps.
class RosStamp {
 public:
  RosTime at(double source_time_s);

 private:
  bool anchored = false;
  double last_source_s = 0;
  std::int64_t offset_ns = 0;  // wall clock minus the source's clock
  std::int64_t last_ns = 0;
};

}  // namespace Orvex::HardwareAPI::Haptics
