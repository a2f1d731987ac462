// A haptic wall rendered by the servo loop: a stiff wall and a damping field on a Corvane at
// 1 kHz, on the loop's own thread, while this thread shows a status line and keeps the watchdog
// fed. With nobody holding the arm, a gentle push towards the wall stands in for the user.
//
//   servo_wall PORT [SECONDS]
//
// Exits with 0 when the loop ran and stopped as asked, 1 when it could not start or lost the
// device.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>

#include "Haptics/Damper.h"
#include "Haptics/ServoLoop.h"
#include "Haptics/Wall.h"
#include "IO/SerialStream.h"

namespace {

using namespace Orvex::HardwareAPI;
using Haptics::Vector3d;

constexpr double wall_x = 0.03;            // the wall's face, metres along x; free side x < wall_x
constexpr double wall_stiffness = 2000.0;  // N/m
constexpr double damping = 2.0;            // N·s/m everywhere
constexpr double user_push = 1.5;          // N towards the wall
constexpr auto status_period = std::chrono::milliseconds(50);  // half the watchdog's time

const char* why_not_started(Haptics::StartResult result) {
  switch (result) {
    case Haptics::StartResult::started: return "started";
    case Haptics::StartResult::invalid_settings: return "invalid settings";
    case Haptics::StartResult::already_running: return "already running";
    case Haptics::StartResult::stream_claimed: return "another loop runs on this port";
    case Haptics::StartResult::not_a_corvane: return "no Corvane answered the wake-up";
    case Haptics::StartResult::thread_failed: return "the loop thread could not start";
    case Haptics::StartResult::not_open: return "the port did not open";
  }
  return "unknown";
}

void show_status(const Haptics::ServoLoop& loop) {
  const std::optional<Haptics::ServoState> state = loop.state();
  if (!state) return;
  const Haptics::ServoStats stats = loop.stats();
  std::printf("\rx %+.4f m  y %+.4f m  z %+.4f m | force x %+6.2f N | %6.0f Hz, %llu missed",
              state->position[0], state->position[1], state->position[2], state->force[0],
              stats.rate_hz, static_cast<unsigned long long>(stats.missed));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s PORT [SECONDS]\n", argv[0]);
    return 2;
  }
  const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;

  IO::SerialStream stream(argv[1], true);  // outlives the loop, which is destroyed first
  Haptics::ServoSettings settings;
  settings.rate_hz = 1000.0;
  Haptics::ServoLoop loop(&stream, settings);
  loop.add(std::make_shared<Haptics::Wall>(Vector3d{wall_x, 0, 0}, Vector3d{-1, 0, 0},
                                           wall_stiffness));
  loop.add(std::make_shared<Haptics::Damper>(damping));

  const Haptics::StartResult started = loop.start();
  if (started != Haptics::StartResult::started) {
    std::fprintf(stderr, "servo loop not started: %s\n", why_not_started(started));
    return 1;
  }
  std::printf("Corvane %u, model %u\n", static_cast<unsigned>(loop.info().device_id),
              static_cast<unsigned>(loop.info().device_model_number));

  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end && loop.running()) {
    loop.set_force({user_push, 0, 0});  // feeds the watchdog
    std::this_thread::sleep_for(status_period);
    show_status(loop);
  }
  loop.stop();

  const Haptics::ServoStats stats = loop.stats();
  const bool stopped_as_asked = stats.stop_reason == Haptics::StopReason::stop;
  std::printf(
      "\nservo wall: %llu cycles, %.0f Hz; wake-up lateness p50 %.0f us, p99 %.0f us; exchange "
      "p50 %.0f us, p99 %.0f us; %llu missed deadlines; %s\n",
      static_cast<unsigned long long>(stats.cycles), stats.rate_hz, stats.late_p50_us,
      stats.late_p99_us, stats.exchange_p50_us, stats.exchange_p99_us,
      static_cast<unsigned long long>(stats.missed),
      stopped_as_asked ? "stopped" : "device lost");
  return stopped_as_asked ? 0 : 1;
}
