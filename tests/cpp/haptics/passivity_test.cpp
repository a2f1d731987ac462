// The passivity controller on the emulator's arm model (a 0.5 kg mass with 4 N s/m of friction),
// cycle by cycle through the servo loop's force pipeline: the force decided from the previous
// reply, held on the arm until the next exchange. No clock, no device: the same figures on any
// machine.

#include "PassivityController.h"
#include "ForcePipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "CorvaneModel.h"

namespace Orvex::HardwareAPI::Haptics {
namespace {

constexpr double period = 0.001, max_force = 10.0;

using Rendering = std::function<Vector3d(const Vector3d& x, const Vector3d& v)>;
using Hand = std::function<double(double t)>;  // a force along x that no rendering knows of

using Starved = std::function<bool(double t)>;  // the watchdog's verdict at each cycle

struct Motion {
  std::vector<double> x;  // of each reply
  double energy_j = 0;
  std::uint64_t acted = 0;
  // The energy the rendering took from the arm, as the forces really sent did work on it,
  // counted here apart from the controller, and the lowest it fell to.
  double sent_energy_j = 0;
  double lowest_sent_energy_j = 0;
  std::uint64_t ramping_cycles = 0, starved_cycles = 0;
};

Motion run(const Rendering& rendering, bool passivity, double seconds, const Hand& hand = nullptr,
           double ramp_s = 0, const Starved& starved = nullptr) {
  Emulator::CorvaneModel arm;
  ServoSettings settings;
  settings.rate_hz = 1 / period;
  settings.max_force = max_force;
  settings.ramp_s = ramp_s;
  settings.passivity = passivity;
  ForcePipeline pipeline(settings);
  pipeline.reset();
  Motion result;
  EffectContext context;
  context.dt = period;
  bool replied = false;
  Vector3d sent_last{}, sent_before{}, last_x{};
  for (std::uint64_t n = 0; n * period < seconds; ++n) {
    const double t = n * period;
    context.cycle = n;
    context.time = t;
    if (!replied) pipeline.restart_ramp(n);
    const Vector3d wanted = replied ? rendering(context.position, context.velocity) : Vector3d{};
    const ForcePipeline::Command command =
        pipeline.command(context, wanted, false, starved && starved(t));
    pipeline.sent(command.force);
    result.ramping_cycles += command.flags.ramping;
    result.starved_cycles += command.flags.watchdog;
    // The work of the force sent two cycles ago is complete with the reply now at hand.
    if (replied) {
      for (std::size_t i = 0; i < 3; ++i)
        result.sent_energy_j -= sent_before[i] * (context.position[i] - last_x[i]);
      result.lowest_sent_energy_j = std::min(result.lowest_sent_energy_j, result.sent_energy_j);
    }
    last_x = context.position;
    sent_before = sent_last;
    sent_last = {command.force[0], command.force[1], command.force[2]};

    arm.advance_to(t);
    const Emulator::Vector3 reply_x = arm.end_effector().position();
    const Emulator::Vector3 reply_v = arm.end_effector().velocity();
    const double pushed = hand ? hand(t) : 0.0;
    arm.apply_force({command.force[0] + pushed, command.force[1], command.force[2]});
    context.position = {reply_x[0], reply_x[1], reply_x[2]};
    context.velocity = {reply_v[0], reply_v[1], reply_v[2]};
    replied = true;
    result.x.push_back(reply_x[0]);
  }
  result.energy_j = pipeline.passivity_energy_j();
  result.acted = pipeline.passivity_cycles();
  return result;
}

Rendering spring(double stiffness, double damping, double anchor = 0.0) {
  return [=](const Vector3d& x, const Vector3d& v) {
    return Vector3d{-stiffness * (x[0] - anchor) - damping * v[0], 0.0, 0.0};
  };
}

// Half the span of x over [since, until) seconds, in metres.
double amplitude(const Motion& run, double since, double until) {
  const auto first = run.x.begin() + static_cast<long>(since / period);
  const auto last = run.x.begin() + static_cast<long>(until / period);
  const auto [low, high] = std::minmax_element(first, last);
  return (*high - *low) / 2;
}

// Where a still target 2 mm away makes the arm oscillate on its own, a cycle late at 1 kHz.
double onset_stiffness() {
  for (double k = 250;; k += 250)
    if (amplitude(run(spring(k, 0, 0.002), false, 1.2), 1.0, 1.2) >= 0.001) return k;
}

TEST(PassivityController, StillsAnArmCoupledAtThreeTimesTheStiffnessItOscillatesAt) {
  const double k = 3 * onset_stiffness();
  const Motion without = run(spring(k, 0, 0.002), false, 1.2);
  const Motion with = run(spring(k, 0, 0.002), true, 1.2);
  ASSERT_GT(k, 0);
  EXPECT_GT(amplitude(without, 1.0, 1.2), 0.001) << "at " << k << " N/m";
  EXPECT_LT(amplitude(with, 0.5, 1.2), 0.0001) << "at " << k << " N/m";
  EXPECT_GT(with.acted, 0u);
}

TEST(PassivityController, NeverActsOnASoftSpringPushedInAndLetGo) {
  // A hand pushes the arm 3 cm into the spring, then lets go. The spring has the damping its
  // sampling needs to stay passive (more than stiffness x the period x 1.5).
  const Hand hand = [](double t) { return t < 0.5 ? 3.0 : 0.0; };
  const Motion result = run(spring(100, 0.5), true, 3.0, hand);
  EXPECT_GT(*std::max_element(result.x.begin(), result.x.end()), 0.02);
  EXPECT_EQ(result.acted, 0u);
  EXPECT_GT(result.energy_j, 0.0);
}

TEST(PassivityController, ActsOnANegativeDamperAndTakesAwayTheEnergyItWouldGive) {
  // F = +4 v: with the arm's own 4 N s/m, a push would never die out.
  const Rendering negative_damper = [](const Vector3d&, const Vector3d& v) {
    return Vector3d{4 * v[0], 4 * v[1], 4 * v[2]};
  };
  const Hand hand = [](double t) { return t < 0.1 ? 1.0 : 0.0; };
  const Rendering nothing = [](const Vector3d&, const Vector3d&) { return Vector3d{}; };
  const Motion without = run(negative_damper, false, 1.0, hand);
  const Motion with = run(negative_damper, true, 1.0, hand);
  const Motion coasting = run(nothing, false, 1.0, hand);
  const std::size_t end = without.x.size() - 1, after_push = 150;
  const double coasted = coasting.x[end] - coasting.x[after_push];
  EXPECT_GT(without.x[end] - without.x[after_push], 3 * coasted);  // nothing damps it
  EXPECT_LT(with.x[end] - with.x[after_push], 1.05 * coasted);     // friction alone stops it
  EXPECT_GE(with.acted, 800u);
}

// The loop ramps the spring in while a hand holds the arm in it, and later zeroes it for a
// watchdog trip while the hand pushes on, then ramps it in again 7 cm deeper: a stiffness that
// grows on a compressed spring gives back more than was put in. The account follows what was
// sent, cycle by cycle, and the energy taken from the arm stays at zero but for what one cycle's
// late knowledge lets through (the spring alone would give 0.3 J).
TEST(PassivityController, KeepsTheEnergyOfTheForcesSentAtZeroThroughARampAndATrip) {
  const Hand hand = [](double t) { return t < 1.5 ? 3.0 : 0.0; };
  const Starved trip = [](double t) { return t >= 0.9 && t < 1.0; };
  const Motion with = run(spring(100, 0.5), true, 3.0, hand, 0.25, trip);
  const Motion without = run(spring(100, 0.5), false, 3.0, hand, 0.25, trip);
  EXPECT_GE(with.ramping_cycles, 400u);  // at the start and after the trip
  EXPECT_EQ(with.starved_cycles, 100u);
  EXPECT_NEAR(with.energy_j, with.sent_energy_j, 1e-12);
  EXPECT_GT(with.acted, 0u);
  EXPECT_LT(without.lowest_sent_energy_j, -0.2);
  EXPECT_GE(with.lowest_sent_energy_j, -0.02);
}

TEST(PassivityController, StartsANewAccountAtReset) {
  PassivityController controller;
  EffectContext context;
  context.dt = period;
  context.velocity = {0.1, 0, 0};
  controller.observe(context);
  controller.filter(context, {1.0, 0, 0});
  EXPECT_EQ(controller.cycles_acted(), 1u);
  controller.reset();
  EXPECT_EQ(controller.cycles_acted(), 0u);
  EXPECT_EQ(controller.energy_j(), 0.0);
}

// An arm carried at a steady 0.1 m/s by a hand, a 5 N push along its motion (half a millijoule a
// cycle) and an allowance of 10 mJ: the lowest the account falls to once the allowance is spent.
double lowest_account_j(PassivityController::InFlight in_flight) {
  PassivityController controller(in_flight);
  EffectContext context;
  context.dt = period;
  context.velocity = {0.1, 0, 0};
  controller.credit(0.010);
  double lowest = controller.energy_j();
  for (std::uint64_t n = 0; n < 200; ++n) {
    context.cycle = n;
    context.position = {0.1 * period * static_cast<double>(n), 0, 0};
    controller.observe(context);
    lowest = std::min(lowest, controller.energy_j());
    controller.sent(controller.filter(context, {5.0, 0, 0}));
  }
  return lowest;
}

TEST(PassivityController, SpendsAnAllowanceOnceWhenTheForceInFlightIsCounted) {
  // Ignored, the force still on the arm spends again what the one being decided is allowed.
  EXPECT_LT(lowest_account_j(PassivityController::InFlight::ignored), -0.0004);
  EXPECT_GE(lowest_account_j(PassivityController::InFlight::counted), -1e-12);
}

// An arm held against a 5 N pull, buzzing in place by 5 microns, its velocity known a reply late
// and so always the opposite of the motion the force being decided will meet; the account is
// already a millijoule short. Returns the longest force sent and the energy the forces sent
// gave the arm over 400 cycles.
struct Buzz {
  double longest_n = 0;
  double given_j = 0;
};

Buzz buzzing_in_place(double release_n) {
  PassivityController controller(PassivityController::InFlight::counted, release_n);
  controller.credit(-0.001);
  EffectContext context;
  context.dt = period;
  Buzz buzz;
  Vector3d on_arm{};
  double x = 0;
  for (std::uint64_t n = 0; n < 400; ++n) {
    const double next = n % 2 ? 0.0 : 5e-6;
    context.cycle = n;
    context.position = {x, 0, 0};
    context.velocity = {(x - next) / period, 0, 0};  // the motion before, reversed by the next
    controller.observe(context);
    const Vector3d force = controller.filter(context, {-5.0, 0, 0});
    controller.sent(force);
    buzz.longest_n = std::max(buzz.longest_n, std::abs(force[0]));
    on_arm = force;
    buzz.given_j += on_arm[0] * (next - x);
    x = next;
  }
  return buzz;
}

TEST(PassivityController, NeverLengthensAForceAgainstAVelocityAReplyOld) {
  // Damping added against the last motion would push harder along the next one: 10 N on each of
  // 200 swings of 5 microns towards the pull, 10 mJ given.
  for (const double release_n : {0.0, 0.2})
    EXPECT_LE(buzzing_in_place(release_n).longest_n, 5.0 + 1e-9) << "release " << release_n;
  // What is cut comes back at the release rate, so each swing towards the pull meets 0.2 N.
  EXPECT_LT(buzzing_in_place(0.2).given_j, 0.0003);
}

// An arm a hand lets give way under a steady 5 N push, a micron a cycle, jittering by two microns
// each cycle, with no allowance: how many steps between two forces sent were over 1 N, the largest
// once the first 50 ms are over, and the lowest the account falls to.
struct Held {
  int large_steps = 0;
  double later_step_n = 0;
  double lowest_j = 0;
};

Held held_without_allowance(double release_n) {
  PassivityController controller(PassivityController::InFlight::counted, release_n);
  EffectContext context;
  context.dt = period;
  Held held;
  double last = 0, last_x = 0;
  for (std::uint64_t n = 0; n < 400; ++n) {
    const double x = 1e-6 * static_cast<double>(n) + (n % 2 ? 2e-6 : 0);
    context.cycle = n;
    context.position = {x, 0, 0};
    context.velocity = {(x - last_x) / period, 0, 0};
    last_x = x;
    controller.observe(context);
    held.lowest_j = std::min(held.lowest_j, controller.energy_j());
    const Vector3d force = controller.filter(context, {5.0, 0, 0});
    controller.sent(force);
    const double step = std::abs(force[0] - last);
    if (step > 1) ++held.large_steps;
    if (n > 50) held.later_step_n = std::max(held.later_step_n, step);
    last = force[0];
  }
  return held;
}

TEST(PassivityController, LetsGoOfACutForceAtItsReleaseRate) {
  // At once, the force flips between nothing and the whole push with the jitter's sign.
  const Held at_once = held_without_allowance(0);
  EXPECT_GT(at_once.large_steps, 100);
  EXPECT_GE(at_once.lowest_j, -1e-6);
  EXPECT_GT(at_once.later_step_n, 3);
  // Released, the first cuts are steps of the push; then what comes back between two cuts is at
  // most two cycles' release.
  const Held released = held_without_allowance(0.05);
  EXPECT_LE(released.large_steps, 5);
  EXPECT_LE(released.later_step_n, 0.1 + 1e-5);
  EXPECT_GE(released.lowest_j, -1e-6);
}

}  // namespace
}  // namespace Orvex::HardwareAPI::Haptics
