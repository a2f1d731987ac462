// The passivity controller on the emulator's arm model (a 0.5 kg mass with 4 N s/m of friction),
// cycle by cycle as the servo loop runs it: the force decided from the previous reply, held on the
// arm until the next exchange. No clock, no device: the same figures on any machine.

#include "PassivityController.h"

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

struct Motion {
  std::vector<double> x;  // of each reply
  double energy_j = 0;
  std::uint64_t acted = 0;
};

Motion run(const Rendering& rendering, bool passivity, double seconds, const Hand& hand = nullptr) {
  Emulator::CorvaneModel arm;
  PassivityController controller(max_force);
  controller.reset();
  Motion result;
  EffectContext context;
  context.dt = period;
  bool replied = false;
  for (std::uint64_t n = 0; n * period < seconds; ++n) {
    const double t = n * period;
    Vector3d force{};
    if (replied) {
      force = rendering(context.position, context.velocity);
      if (passivity) force = controller.filter(context, force);
    }
    arm.advance_to(t);
    const Emulator::Vector3 reply_x = arm.end_effector().position();
    const Emulator::Vector3 reply_v = arm.end_effector().velocity();
    const double pushed = hand ? hand(t) : 0.0;
    arm.apply_force({std::clamp(force[0] + pushed, -max_force, max_force),
                     std::clamp(force[1], -max_force, max_force),
                     std::clamp(force[2], -max_force, max_force)});
    context.position = {reply_x[0], reply_x[1], reply_x[2]};
    context.velocity = {reply_v[0], reply_v[1], reply_v[2]};
    context.cycle = n;
    context.time = t;
    replied = true;
    result.x.push_back(reply_x[0]);
  }
  result.energy_j = controller.energy_j();
  result.acted = controller.cycles_acted();
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

TEST(PassivityController, StartsANewAccountAtReset) {
  PassivityController controller(max_force);
  EffectContext context;
  context.dt = period;
  context.velocity = {0.1, 0, 0};
  controller.filter(context, {1.0, 0, 0});
  EXPECT_EQ(controller.cycles_acted(), 1u);
  controller.reset();
  EXPECT_EQ(controller.cycles_acted(), 0u);
  EXPECT_EQ(controller.energy_j(), 0.0);
}

}  // namespace
}  // namespace Orvex::HardwareAPI::Haptics
