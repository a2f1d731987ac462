// A force law of one's own as a C++ Effect: a snap point that catches the hand. Outside the
// capture radius it does nothing; once the hand comes within it, it pulls towards the point,
// F = -k (x - p) (1 - d / r) - c v with d = |x - p| and r the release radius, and lets go only when the
// hand is pulled out beyond the release radius (hysteresis: state the loop thread keeps). The
// point is a parameter, moved live from this thread.
//
//   snap_point PORT [SECONDS]
//
// With nobody holding the arm, the point is put 5 mm from where the arm rests; it catches the
// arm and pulls it in. Exits with 0 when the loop ran and stopped as asked, 1 otherwise.

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>

#include "Haptics/Effect.h"
#include "Haptics/ServoLoop.h"
#include "IO/SerialStream.h"

namespace {

using namespace Orvex::HardwareAPI;
using Haptics::EffectContext;
using Haptics::Vector3d;

class SnapPoint : public Haptics::Effect {
 public:
  // Parameters: the point (0..2), the stiffness (3), the capture and release radii (4, 5), the
  // damping while held (6).
  SnapPoint(const Vector3d& point, double stiffness, double capture, double release,
            double damping)
      : Effect(Parameters{point[0], point[1], point[2], stiffness, capture, release, damping}) {}

  // Any thread: published whole, taken by the loop at its next cycle.
  void move_to(const Vector3d& point) {
    update([&](Parameters& p) {
      for (int i = 0; i < 3; ++i) p[i] = point[i];
    });
  }
  // Any thread.
  bool captured() const { return captured_now.load(std::memory_order_relaxed); }

  // Loop thread only: the state starts afresh each time the effect begins.
  void begin(const EffectContext&) noexcept override { holding = false; }

  Vector3d render(const EffectContext& context, const Parameters& p) noexcept override {
    Vector3d offset{};
    double squared = 0;
    for (int i = 0; i < 3; ++i) {
      offset[i] = context.position[i] - p[i];
      squared += offset[i] * offset[i];
    }
    const double distance = std::sqrt(squared);
    holding = holding ? distance < p[5] : distance < p[4];
    // A flag for the application's status line: relaxed, nothing else is read with it.
    captured_now.store(holding, std::memory_order_relaxed);
    if (!holding) return {};
    const double gain = -p[3] * (1.0 - distance / p[5]);
    Vector3d force{};
    for (int i = 0; i < 3; ++i) force[i] = gain * offset[i] - p[6] * context.velocity[i];
    return force;
  }

  // It keeps state: one loop at a time.
  bool shareable() const noexcept override { return false; }

 private:
  bool holding = false;  // loop thread only
  std::atomic<bool> captured_now{false};
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s PORT [SECONDS]\n", argv[0]);
    return 2;
  }
  const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;

  IO::SerialStream stream(argv[1], true);  // outlives the loop, which is destroyed first
  Haptics::ServoLoop loop(&stream, Haptics::ServoSettings{});
  // Far away until the arm's position is known.
  auto snap = std::make_shared<SnapPoint>(Vector3d{1, 1, 1}, 300.0, 0.008, 0.012, 2.0);
  loop.add(snap);
  if (loop.start() != Haptics::StartResult::started) {
    std::fprintf(stderr, "servo loop not started\n");
    return 1;
  }
  std::optional<Haptics::ServoState> state;
  while (loop.running() && (!(state = loop.state()) || state->cycle < 2)) {
    loop.feed();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (state) snap->move_to({state->position[0] + 0.005, state->position[1], state->position[2]});

  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end && loop.running()) {
    loop.feed();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  state = loop.state();
  loop.stop();

  const Haptics::ServoStats stats = loop.stats();
  const bool stopped_as_asked = stats.stop_reason == Haptics::StopReason::stop;
  std::printf("snap point: %s, arm at x %+.4f m; %llu cycles, %.0f Hz, %llu missed; %s\n",
              snap->captured() ? "captured" : "not captured", state ? state->position[0] : 0.0,
              static_cast<unsigned long long>(stats.cycles), stats.rate_hz,
              static_cast<unsigned long long>(stats.missed),
              stopped_as_asked ? "stopped" : "device lost");
  return stopped_as_asked ? 0 : 1;
}
