// Couplings without a device: the hold between updates, the force a coupling renders, the
// reaction handed back without losing or repeating a cycle, and the pairs Bilateral refuses.

#include "Haptics/Coupling.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "Haptics/Bilateral.h"
#include "IO/SerialStream.h"
#include "ReactionLedger.h"
#include "InterpolatedHold.h"
#include "TargetHold.h"

namespace Orvex::HardwareAPI::Haptics {
namespace {

constexpr double k = 400, c = 6;
const Vector3d X{0.01, -0.02, 0.03}, V{0.1, 0.2, -0.3};

EffectContext context_at(double time, const Vector3d& x = X, const Vector3d& v = V) {
  EffectContext context;
  context.position = x;
  context.velocity = v;
  context.time = time;
  context.clock = time;
  context.dt = 0.001;
  return context;
}

void expect_near(const Vector3d& got, const Vector3d& want, double tolerance = 1e-9) {
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(got[i], want[i], tolerance) << "axis " << i;
}

TargetUpdate timed(const Vector3d& position, double time, const Vector3d* velocity = nullptr) {
  TargetUpdate update;
  update.position = position;
  update.timed = true;
  update.time_s = time;
  if (velocity) {
    update.velocity = *velocity;
    update.has_velocity = true;
  }
  return update;
}

// --- the hold ---------------------------------------------------------------------------------

struct HoldCase {
  const char* name;
  double update_time;  // the update's time; the target is asked for at 2.0 s
};

class LinearHold : public ::testing::TestWithParam<HoldCase> {};

TEST_P(LinearHold, IsTheExtrapolationFromTheUpdateWhereverItIsPlacedInTime) {
  const Vector3d p{0.05, 0.0, -0.01}, v{0.1, -0.2, 0.05};
  TargetUpdates updates;
  updates.latest = timed(p, GetParam().update_time, &v);
  updates.any = true;
  const double now = 2.0, since = now - GetParam().update_time;
  const HeldTarget held = held_target(updates, Hold::linear, now);
  expect_near(held.position, {p[0] + v[0] * since, p[1] + v[1] * since, p[2] + v[2] * since});
  expect_near(held.velocity, v);
}

INSTANTIATE_TEST_SUITE_P(Updates, LinearHold,
                         ::testing::Values(HoldCase{"now", 2.0}, HoldCase{"in_the_past", 1.75},
                                           HoldCase{"in_the_future", 2.5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinearHold, TakesTheVelocityOfTheLastTwoUpdatesWhenNoneIsGiven) {
  TargetUpdates updates;
  updates.previous = timed({0.0, 0.0, 0.0}, 1.0);
  updates.latest = timed({0.01, -0.02, 0.0}, 1.1);
  updates.any = updates.has_previous = true;
  const HeldTarget held = held_target(updates, Hold::linear, 1.15);
  expect_near(held.velocity, {0.1, -0.2, 0.0});
  expect_near(held.position, {0.015, -0.03, 0.0});
}

TEST(LinearHold, PlacesAnUpdateWithoutATimeWhenItWasMade) {
  TargetUpdate update;
  update.position = {0.0, 0.0, 0.0};
  update.velocity = {1.0, 0.0, 0.0};
  update.has_velocity = true;
  update.made_ns = 5'500'000'000;
  TargetUpdates updates;
  updates.latest = update;
  updates.any = true;
  EXPECT_NEAR(held_target(updates, Hold::linear, 5.75).position[0], 0.25, 1e-12);
}

TEST(ZeroHold, KeepsTheTargetStillWithTheVelocityGivenForTheDamping) {
  const Vector3d v{0.3, 0.0, 0.0};
  TargetUpdates updates;
  updates.previous = timed({0.0, 0.0, 0.0}, 0.0);
  updates.latest = timed({0.02, 0.0, 0.0}, 0.1, &v);
  updates.any = updates.has_previous = true;
  const HeldTarget held = held_target(updates, Hold::zero, 5.0);
  expect_near(held.position, {0.02, 0.0, 0.0});
  expect_near(held.velocity, v);
}

// --- the force ----------------------------------------------------------------------------------

// A cycle as the loop renders it: with the parameters (the gains) last published.
Vector3d rendered(Coupling& coupling, const EffectContext& context) {
  Effect::Parameters gains{};
  EXPECT_TRUE(coupling.try_read(gains));
  return coupling.render(context, gains);
}

Vector3d coupling_law(const Vector3d& target, const Vector3d& target_v, double stiffness,
                      double damping) {
  Vector3d f{};
  for (std::size_t i = 0; i < 3; ++i)
    f[i] = stiffness * (target[i] - X[i]) + damping * (target_v[i] - V[i]);
  return f;
}

CouplingSettings settings(double stiffness, std::optional<double> damping = std::nullopt,
                          std::optional<double> mass = std::nullopt, Hold hold = Hold::linear,
                          std::optional<double> max_force = std::nullopt) {
  CouplingSettings s;
  s.stiffness = stiffness;
  s.damping = damping;
  s.mass = mass;
  s.hold = hold;
  s.max_force = max_force;
  return s;
}

TEST(Coupling, RendersNothingBeforeItsFirstUpdate) {
  Coupling coupling(settings(k, c));
  expect_near(rendered(coupling, context_at(1.0)), {0, 0, 0});
  Vector3d point;
  EXPECT_FALSE(coupling.proxy(point));
}

TEST(Coupling, PullsTowardsAStillTargetAndDampsTheArmsVelocity) {
  Coupling coupling(settings(k, c));
  const Vector3d target{0.02, 0.0, 0.01};
  ASSERT_TRUE(coupling.update(target, Vector3d{}, 0.5));
  expect_near(rendered(coupling, context_at(1.0)), coupling_law(target, {}, k, c));
  Vector3d point;
  ASSERT_TRUE(coupling.proxy(point));
  expect_near(point, target);
}

TEST(Coupling, DampsCriticallyForAMassUnlessADampingIsGiven) {
  EXPECT_DOUBLE_EQ(settings(400, std::nullopt, 0.25).effective_damping(), 2 * std::sqrt(100.0));
  EXPECT_DOUBLE_EQ(settings(400, 3.0, 0.25).effective_damping(), 3.0);
  EXPECT_DOUBLE_EQ(settings(400).effective_damping(), 0.0);

  Coupling coupling(settings(k, std::nullopt, 1.0));
  const Vector3d target{0.0, 0.0, 0.0}, target_v{0.05, 0.0, 0.0};
  coupling.update(target, target_v, 1.0);
  expect_near(rendered(coupling, context_at(1.0)),
              coupling_law(target, target_v, k, 2 * std::sqrt(k)));
}

TEST(Coupling, ShortensItsOwnForceToMaxForceKeepingItsDirection) {
  Coupling coupling(settings(k, 0.0, std::nullopt, Hold::linear, 2.0));
  const Vector3d target{1.0, 1.0, 0.0};
  coupling.update(target, Vector3d{}, 0.0);
  const Vector3d full = coupling_law(target, {}, k, 0.0);
  const Vector3d got = rendered(coupling, context_at(0.0));
  const double length = std::sqrt(full[0] * full[0] + full[1] * full[1] + full[2] * full[2]);
  expect_near(got, {full[0] * 2 / length, full[1] * 2 / length, full[2] * 2 / length});
}

TEST(Coupling, RefusesValuesThatAreNotFinite) {
  Coupling coupling(settings(k));
  const double nan = std::nan("");
  EXPECT_FALSE(coupling.update({nan, 0, 0}));
  EXPECT_FALSE(coupling.update({0, 0, 0}, Vector3d{0, INFINITY, 0}));
  EXPECT_FALSE(coupling.update({0, 0, 0}, std::nullopt, nan));
  expect_near(rendered(coupling, context_at(0.0)), {0, 0, 0});
}

TEST(CouplingSettings, NameWhatTheyCannotBe) {
  EXPECT_EQ(settings(k).problem(), nullptr);
  EXPECT_NE(settings(-1).problem(), nullptr);
  EXPECT_NE(settings(std::nan("")).problem(), nullptr);
  EXPECT_NE(settings(k, -1.0).problem(), nullptr);
  EXPECT_NE(settings(k, std::nullopt, 0.0).problem(), nullptr);
  EXPECT_NE(settings(k, std::nullopt, std::nullopt, Hold::linear, 0.0).problem(), nullptr);
  EXPECT_NE(settings(k, std::nullopt, std::nullopt, static_cast<Hold>(7)).problem(), nullptr);
}

TEST(Coupling, HandsBackMinusTheForceItRenderedPerCycleAndTheTimeSpanned) {
  Coupling coupling(settings(k));
  EXPECT_EQ(coupling.take_force().cycles, 0u);
  coupling.update({0.02, 0.0, 0.0}, Vector3d{}, 0.0);
  Vector3d sum{};
  for (int i = 0; i < 5; ++i) {
    const Vector3d f = rendered(coupling, context_at(0.001 * i, {0.001 * i, 0, 0}));
    sum[0] += f[0];
  }
  const CouplingReaction reaction = coupling.take_force();
  EXPECT_EQ(reaction.cycles, 5u);
  EXPECT_NEAR(reaction.span_s, 0.005, 1e-12);
  EXPECT_NEAR(reaction.force[0], -sum[0] / 5, 1e-9);
  EXPECT_EQ(coupling.take_force().cycles, 0u);
}

// --- the ledger under load --------------------------------------------------------------------

TEST(ReactionLedger, LosesAndRepeatsNothingWhileTheLoopAddsAndTheApplicationTakes) {
  ReactionLedger ledger;
  constexpr std::uint64_t cycles = 200000;
  std::atomic<bool> done{false};
  std::thread loop([&] {
    for (std::uint64_t i = 1; i <= cycles; ++i)
      ledger.add({static_cast<double>(i % 7), -1.0, static_cast<double>(i % 3)}, 0.001);
    done.store(true);
  });
  double total_x = 0, total_y = 0, total_z = 0, span = 0;
  std::uint64_t counted = 0;
  auto take = [&] {
    const CouplingReaction r = ledger.take();
    total_x += r.force[0] * r.cycles;
    total_y += r.force[1] * r.cycles;
    total_z += r.force[2] * r.cycles;
    counted += r.cycles;
    span += r.span_s;
  };
  while (!done.load()) take();
  loop.join();
  take();
  double want_x = 0, want_z = 0;
  for (std::uint64_t i = 1; i <= cycles; ++i) {
    want_x += i % 7;
    want_z += i % 3;
  }
  EXPECT_EQ(counted, cycles);
  EXPECT_NEAR(total_x, want_x, 1e-6 * want_x);
  EXPECT_NEAR(total_y, -double(cycles), 1e-6 * cycles);
  EXPECT_NEAR(total_z, want_z, 1e-6 * want_z);
  EXPECT_NEAR(span, cycles * 0.001, 1e-6);
}

// --- Bilateral ----------------------------------------------------------------------------------

TEST(Bilateral, RefusesALoopCoupledToItselfTwoLoopsOnOneStreamAndBadGains) {
  IO::SerialStream stream_a(nullptr, false), stream_b(nullptr, false);
  ServoLoop a(&stream_a, ServoSettings{}), b(&stream_b, ServoSettings{}),
      also_on_a(&stream_a, ServoSettings{});
  EXPECT_EQ(Bilateral::problem(a, b, 1500, 10), nullptr);
  EXPECT_NE(Bilateral::problem(a, a, 1500, 10), nullptr);
  EXPECT_NE(Bilateral::problem(a, also_on_a, 1500, 10), nullptr);
  EXPECT_NE(Bilateral::problem(a, b, -1, 0), nullptr);
  EXPECT_NE(Bilateral::problem(a, b, 1, std::nan("")), nullptr);
}

TEST(Bilateral, RendersNothingWhileTheOtherLoopIsNotRunningAndLetsGoOfItsKeepers) {
  IO::SerialStream stream_a(nullptr, false), stream_b(nullptr, false);
  ServoLoop a(&stream_a, ServoSettings{}), b(&stream_b, ServoSettings{});
  auto keeper = std::make_shared<int>(0);
  {
    Bilateral pair(a, b, 1500, 10, keeper, keeper);
    EXPECT_EQ(keeper.use_count(), 3);
    expect_near(pair.effect_for_a()->render(context_at(0.0), {}), {0, 0, 0});
    EXPECT_FALSE(pair.effect_for_a()->shareable());
  }
  EXPECT_EQ(keeper.use_count(), 1);
}

// --- the interpolating hold ---------------------------------------------------------------------

// What a coupling of 500 N/m, critically damped for 1 kg, renders at a still arm.
constexpr double box_k = 500, box_b = 44.7;

// A target updated at 60 Hz (from the loop's time 0) and held at 1 kHz: the held targets, and the
// largest change between two cycles of the coupling's force on a still arm.
struct Rendered {
  std::vector<HeldTarget> cycles;
  double largest_force_step = 0;
};

template <class Motion>
Rendered render_at_1khz(Hold hold, Motion motion, double seconds, bool give_velocity) {
  InterpolatedHold interpolated;
  TargetUpdates updates;
  Rendered out;
  double next_update = 0;
  for (int cycle = 0; cycle < seconds * 1000; ++cycle) {
    const double now = cycle * 0.001;
    if (now >= next_update) {
      Vector3d position, velocity;
      motion(now, position, velocity);
      updates.previous = updates.latest;
      updates.has_previous = updates.any;
      updates.latest = timed(position, now, give_velocity ? &velocity : nullptr);
      updates.any = true;
      ++updates.count;
      next_update += 1.0 / 60;
    }
    const HeldTarget held = hold == Hold::interpolate ? interpolated.at(updates, now)
                                                      : held_target(updates, hold, now);
    if (now > 0.1) {
      const HeldTarget& before = out.cycles.back();
      const double step = box_k * (held.position[0] - before.position[0]) +
                          box_b * (held.velocity[0] - before.velocity[0]);
      out.largest_force_step = std::max(out.largest_force_step, std::abs(step));
    }
    out.cycles.push_back(held);
  }
  return out;
}

void steady(double t, Vector3d& position, Vector3d& velocity) {
  position = {0.01 + 0.1 * t, -0.02, 0.03};
  velocity = {0.1, 0, 0};
}

// A box pushed from rest at 0.5 m/s² for 0.2 s, stopped by friction at 2 m/s², resting 0.1 s.
void stick_slip(double t, Vector3d& position, Vector3d& velocity) {
  const double cycle = 0.35, into = std::fmod(t, cycle), top = 0.1, travel = 0.0125;
  double x = travel, v = 0;
  if (into < 0.2) {
    v = 0.5 * into;
    x = 0.25 * into * into;
  } else if (into < 0.25) {
    const double slowing = into - 0.2;
    v = top - 2 * slowing;
    x = 0.01 + top * slowing - slowing * slowing;
  }
  position = {std::floor(t / cycle) * travel + x, 0, 0};
  velocity = {v, 0, 0};
}

class InterpolatedHoldSteady : public ::testing::TestWithParam<bool> {};

TEST_P(InterpolatedHoldSteady, FollowsASteadyMotionOnePeriodLateAtItsVelocity) {
  const Rendered held = render_at_1khz(Hold::interpolate, steady, 0.5, GetParam());
  for (std::size_t cycle = 60; cycle < held.cycles.size(); ++cycle) {
    Vector3d now, v;
    steady(cycle * 0.001, now, v);
    // The updates come 16 or 17 ms apart: the target is the mean period behind.
    expect_near(held.cycles[cycle].velocity, v, 1e-3);
    const double lag = (now[0] - held.cycles[cycle].position[0]) / v[0];
    EXPECT_GE(lag, 0.016 - 1e-9) << "cycle " << cycle;
    EXPECT_LE(lag, 0.017 + 1e-9) << "cycle " << cycle;
  }
}

INSTANTIATE_TEST_SUITE_P(VelocityGivenOrNot, InterpolatedHoldSteady, ::testing::Bool());

TEST(InterpolatedHold, StepsTheForceOnAStickSlipBoxAQuarterOfWhatTheLinearHoldDoes) {
  const Rendered linear = render_at_1khz(Hold::linear, stick_slip, 2.0, true);
  const Rendered interpolated = render_at_1khz(Hold::interpolate, stick_slip, 2.0, true);
  EXPECT_GT(linear.largest_force_step, 1.0);
  EXPECT_LT(interpolated.largest_force_step, linear.largest_force_step / 4);
  EXPECT_LT(interpolated.largest_force_step, 0.2);
}

TEST(InterpolatedHold, RunsOnePeriodLateSoonAfterAPause) {
  // A target held still for 0.3 s, then updated at 60 Hz as it moves at 0.1 m/s.
  const auto target = [](double t) { return 0.01 + 0.1 * std::max(0.0, t - 0.3); };
  InterpolatedHold interpolated;
  TargetUpdates updates;
  const auto update = [&](double t) {
    const Vector3d v{t < 0.3 ? 0.0 : 0.1, 0, 0};
    if (updates.any) {
      updates.previous = updates.latest;
      updates.has_previous = true;
    }
    updates.latest = timed({target(t), 0, 0}, t, &v);
    updates.any = true;
    ++updates.count;
  };
  update(0.0);
  double next = 0.3;
  for (int cycle = 0; cycle <= 800; ++cycle) {
    const double now = cycle * 0.001;
    if (now >= next - 1e-9) {
      update(next);
      next += 1.0 / 60;
    }
    const HeldTarget held = interpolated.at(updates, now);
    // Three updates after the pause the target is one period behind, as with no pause.
    if (now >= 0.35) {
      const double lag = (target(now) - held.position[0]) / 0.1;
      EXPECT_LE(lag, 0.0175) << "at " << now << " s";
    }
  }
}

TEST(InterpolatedHold, TakesTheFirstUpdateAsItIsAndStartsAfreshWhenRestarted) {
  InterpolatedHold interpolated;
  TargetUpdates updates;
  updates.latest = timed({0.05, 0, 0}, 0.0);
  updates.any = true;
  updates.count = 1;
  expect_near(interpolated.at(updates, 0.0).position, {0.05, 0, 0});
  updates.previous = updates.latest;
  updates.has_previous = true;
  updates.latest = timed({0.06, 0, 0}, 0.1);
  updates.count = 2;
  // From where it was, towards the new update, which it reaches one period later.
  expect_near(interpolated.at(updates, 0.1).position, {0.05, 0, 0});
  expect_near(interpolated.at(updates, 0.2).position, {0.06, 0, 0});
  interpolated.restart();
  expect_near(interpolated.at(updates, 0.2).position, {0.06, 0, 0});
}

// --- gains changed while the loop renders -------------------------------------------------------

TEST(Coupling, GainsSetFromRacingThreadsAreRenderedWholeAtEveryCycle) {
  Coupling coupling(settings(100.0, 1.0, std::nullopt, Hold::linear, 1000.0));
  // The arm 1 cm from the target along x, moving at 1 m/s along y: fx = k 0.01, fy = -b, and
  // every set of gains the writers publish has b = k / 100 and max_force = k (never reached).
  coupling.update({0.0, 0.0, 0.0}, Vector3d{}, 0.0);
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w)
    writers.emplace_back([&, w] {
      for (int n = 0; !stop.load(); ++n) {
        const double k = 100.0 + (2 * n + w) % 997;
        EXPECT_TRUE(coupling.set_gains({k, k / 100, k}));
      }
    });
  int torn = 0;
  for (int cycle = 0; cycle < 20000; ++cycle) {
    EffectContext context = context_at(0.0, {-0.01, 0, 0}, {0, 1, 0});
    Effect::Parameters gains{};
    if (!coupling.try_read(gains)) continue;  // the loop keeps the gains it read before
    const Vector3d f = coupling.render(context, gains);
    if (std::abs(f[0] / 0.01 / 100 + f[1]) > 1e-9) ++torn;
  }
  stop.store(true);
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(torn, 0);
  EXPECT_FALSE(coupling.set_gains({-1.0, 0.0, std::nullopt}));
  EXPECT_FALSE(coupling.set_gains({1.0, 0.0, 0.0}));
}

}  // namespace
}  // namespace Orvex::HardwareAPI::Haptics
