// The force pipeline's stages, cycle by cycle: the flags each sets, and each told the command
// that really went out.

#include "ForcePipeline.h"

#include <gtest/gtest.h>

namespace Orvex::HardwareAPI::Haptics {
namespace {

ServoSettings settings_with(double ramp_s, std::optional<double> step,
                            std::optional<double> speed = std::nullopt) {
  ServoSettings settings;
  settings.rate_hz = 100;  // a ramp of ramp_s * 100 cycles
  settings.max_force = 3.0;
  settings.ramp_s = ramp_s;
  settings.max_force_step = step;
  settings.max_speed = speed;
  return settings;
}

EffectContext cycle_at(std::uint64_t cycle, double speed = 0) {
  EffectContext context;
  context.cycle = cycle;
  context.velocity = {speed, 0, 0};
  context.dt = 0.01;
  return context;
}

// Runs a cycle and sends what it commanded; its force along x.
float send(ForcePipeline& pipeline, std::uint64_t cycle, double wanted, bool starved = false,
           StageFlags* flags = nullptr, double speed = 0) {
  const ForcePipeline::Command command =
      pipeline.command(cycle_at(cycle, speed), {wanted, 0, 0}, false, starved);
  pipeline.sent(command.force);
  if (flags) *flags = command.flags;
  return command.force[0];
}

TEST(ForcePipeline, EachStageFlagsWhatItDidToTheCycle) {
  ForcePipeline pipeline(settings_with(0.04, 1.0, 0.5));
  pipeline.reset();
  StageFlags flags;
  EXPECT_EQ(send(pipeline, 0, 10, false, &flags), 0.0f);  // the ramp's first cycle
  EXPECT_TRUE(flags.ramping);
  EXPECT_EQ(send(pipeline, 1, 10, false, &flags), 1.0f);  // 2.5 N wanted, a step of 1 N
  EXPECT_TRUE(flags.ramping && flags.step_limited && !flags.clamped);
  for (std::uint64_t cycle = 2; cycle < 8; ++cycle) send(pipeline, cycle, 10, false, &flags);
  // Ramped in, 10 N wanted: each cycle steps 1 N from the 3 N sent, then the clamp cuts it back.
  EXPECT_TRUE(flags.clamped && flags.step_limited && !flags.ramping);
  EXPECT_EQ(send(pipeline, 8, 10), 3.0f);
  EXPECT_EQ(send(pipeline, 9, 10, false, &flags, 0.6), 0.0f);
  EXPECT_TRUE(flags.speed_limited && !flags.clamped);
  EXPECT_EQ(send(pipeline, 10, 10, true, &flags), 0.0f);
  EXPECT_TRUE(flags.watchdog && !flags.speed_limited);
  EXPECT_EQ(pipeline.watchdog_trips(), 1u);
  EXPECT_EQ(pipeline.speed_limited(), 1u);
}

TEST(ForcePipeline, TheStepLimitStepsFromWhatWentOutNotFromWhatWasCommanded) {
  ForcePipeline pipeline(settings_with(0, 0.5));
  pipeline.reset();
  EXPECT_EQ(send(pipeline, 0, 2), 0.5f);
  EXPECT_EQ(send(pipeline, 1, 2), 1.0f);
  // The write failed: zero stood on the arm, so the next command climbs from zero again.
  pipeline.command(cycle_at(2), {2, 0, 0}, false, false);
  pipeline.sent({0, 0, 0});
  EXPECT_EQ(send(pipeline, 3, 2), 0.5f);
}

TEST(ForcePipeline, AWatchdogTripLetsGoAtOnceAndTheForceRampsBackIn) {
  ForcePipeline pipeline(settings_with(0.02, 0.5));
  pipeline.reset();
  for (std::uint64_t cycle = 0; cycle < 10; ++cycle) send(pipeline, cycle, 1);
  EXPECT_EQ(send(pipeline, 10, 1), 1.0f);
  EXPECT_EQ(send(pipeline, 11, 1, true), 0.0f);  // never slowed down by the step limit
  StageFlags flags;
  EXPECT_EQ(send(pipeline, 12, 1, false, &flags), 0.0f);  // fed again: the ramp starts over
  EXPECT_TRUE(flags.ramping);
  EXPECT_EQ(send(pipeline, 13, 1), 0.5f);
  EXPECT_EQ(send(pipeline, 14, 1), 1.0f);
}

}  // namespace
}  // namespace Orvex::HardwareAPI::Haptics
