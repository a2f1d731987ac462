#include "ServoAllocations.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>

#include "AllocationCounter.h"
#include "Haptics/ConstantForce.h"
#include "Haptics/Damper.h"
#include "Haptics/ServoLoop.h"
#include "Haptics/Spring.h"
#include "Haptics/Wall.h"
#include "IO/SerialStream.h"
#include "SnapLaws.h"

namespace Orvex::Bench {

namespace {

using namespace HardwareAPI::Haptics;

// Long enough for the loop thread to be past whatever its start costs.
constexpr auto settling = std::chrono::milliseconds(200);

// The stand-in answers a force with position f and velocity -f, so these laws stay small and
// finite: each feeds back less than the force it is given.
void add_every_effect(ServoLoop& loop) {
  loop.add(std::make_shared<Spring>(Vector3d{0.01, 0, 0}, 0.2, 0.1));
  loop.add(std::make_shared<Damper>(0.3));
  loop.add(std::make_shared<ConstantForce>(Vector3d{0.1, 0.2, 0.3}));
  loop.add(std::make_shared<Wall>(Vector3d{1, 0, 0}, Vector3d{-1, 0, 0}, 0.2, 0.1));
  // A user's law by each route (an expression where this build has them).
  const SnapPoint snap;
  if (auto expression = snap_expression(snap)) loop.add(expression);
  loop.add(snap_native(snap));
  loop.add(snap_cpp(snap));
}

}  // namespace

void print_servo_allocations(const char* corvane_port, double seconds) {
  HardwareAPI::IO::SerialStream stream(corvane_port, true);
  ServoSettings settings;
  settings.watchdog_s = 0;  // this thread does not feed it
  settings.trace_capacity = 1000;
  ServoLoop loop(&stream, settings);
  add_every_effect(loop);
  loop.set_force({0.05, 0.05, 0.05});

  const std::uint64_t before_start = allocation_count_off_main_thread();
  if (loop.start() != StartResult::started) {
    std::printf("{\"servo_allocations\": null}\n");
    std::fflush(stdout);
    return;
  }
  std::this_thread::sleep_for(settling);
  const std::uint64_t steady_cycles_before = loop.stats().cycles;
  const std::uint64_t steady_before = allocation_count_off_main_thread();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const std::uint64_t steady_allocations = allocation_count_off_main_thread() - steady_before;
  const std::uint64_t steady_cycles = loop.stats().cycles - steady_cycles_before;
  loop.stop();
  const std::uint64_t whole_run = allocation_count_off_main_thread() - before_start;

  std::printf(
      "{\"servo_allocations\": {\"cycles\": %llu, \"allocations\": %llu, "
      "\"whole_run_cycles\": %llu, \"whole_run_allocations\": %llu}}\n",
      static_cast<unsigned long long>(steady_cycles),
      static_cast<unsigned long long>(steady_allocations),
      static_cast<unsigned long long>(loop.stats().cycles),
      static_cast<unsigned long long>(whole_run));
  std::fflush(stdout);
}

}  // namespace Orvex::Bench
