#include "SilentWait.h"

#include <cstdio>

#include "Devices/Corvane.h"
#include "IO/SerialStream.h"
#include "RawPty.h"
#include "Round.h"

namespace Orvex::Bench {

void print_silent_wait() {
  const RawPty silent;
  HardwareAPI::IO::SerialStream stream(silent.path().c_str(), true);
  HardwareAPI::Devices::Corvane corvane(&stream);
  const std::int64_t cpu_before = process_cpu_ns();
  const std::int64_t wall_before = steady_ns();
  corvane.end_effector_force({1.0f, 2.0f, 3.0f});
  const std::int64_t wall_ns = steady_ns() - wall_before;
  const std::int64_t cpu_ns = process_cpu_ns() - cpu_before;
  std::printf("{\"silent_wait\": {\"wall_ns\": %lld, \"cpu_ns\": %lld}}\n",
              static_cast<long long>(wall_ns), static_cast<long long>(cpu_ns));
  std::fflush(stdout);
}

}  // namespace Orvex::Bench
