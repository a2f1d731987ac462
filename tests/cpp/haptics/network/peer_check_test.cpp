// Which of the other side's samples a teleoperation side takes: what an arm and an honest side
// send, and never a garbled or made-up value.

#include "Haptics/Network/PeerCheck.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

namespace Orvex::HardwareAPI::Haptics {
namespace {

using Verdict = PeerCheck::Verdict;
constexpr std::int64_t ms = 1'000'000;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// An arm moving along x at 0.1 m/s while its side has taken in 5 W, at sample n of 1 kHz.
PeerState moving(std::uint64_t n) {
  PeerState state;
  state.number = n;
  state.position = {0.01 + 0.1 * n * 1e-3, 0.02, -0.03};
  state.velocity = {0.1, 0, 0};
  state.force = {1, 0, 0};
  state.energy_in = 5 * n * 1e-3;
  state.energy_out = 2 * n * 1e-3;
  state.energy_returned = 0.5;
  return state;
}

struct Garbage {
  std::string name;
  std::function<void(PeerState&)> spoil;
};

class PeerCheckRefuses : public testing::TestWithParam<Garbage> {};

TEST_P(PeerCheckRefuses, ASampleNoArmOrHonestSideSends) {
  PeerCheck check;
  ASSERT_EQ(check.accept(moving(1), 0), Verdict::taken_up);
  ASSERT_EQ(check.accept(moving(2), 1 * ms), Verdict::accepted);
  PeerState next = moving(3);
  GetParam().spoil(next);
  EXPECT_EQ(check.accept(next, 2 * ms), Verdict::refused);
  // The garbage is never the reference: the arm's own next sample follows on.
  EXPECT_EQ(check.accept(moving(4), 3 * ms), Verdict::accepted);
}

INSTANTIATE_TEST_SUITE_P(
    PeerCheck, PeerCheckRefuses,
    testing::Values(
        Garbage{"position_not_a_number", [](PeerState& s) { s.position[1] = nan; }},
        Garbage{"velocity_infinite",
                [](PeerState& s) { s.velocity[2] = std::numeric_limits<double>::infinity(); }},
        Garbage{"force_not_a_number", [](PeerState& s) { s.force[0] = nan; }},
        Garbage{"position_metres_away", [](PeerState& s) { s.position[0] = 3.0; }},
        Garbage{"faster_than_any_hand", [](PeerState& s) { s.velocity[0] = 25.0; }},
        Garbage{"jump_of_5_mm_in_a_millisecond", [](PeerState& s) { s.position[2] += 0.005; }},
        Garbage{"velocity_step_no_arm_makes", [](PeerState& s) { s.velocity[1] = 3.0; }},
        Garbage{"energy_in_negative", [](PeerState& s) { s.energy_in = -0.1; }},
        Garbage{"energy_out_falling", [](PeerState& s) { s.energy_out = 0; }},
        Garbage{"energy_returned_falling", [](PeerState& s) { s.energy_returned = 0.4; }},
        Garbage{"energy_in_not_a_number", [](PeerState& s) { s.energy_in = nan; }},
        Garbage{"a_megajoule_granted", [](PeerState& s) { s.energy_in = 1e6; }},
        Garbage{"ten_joules_returned_at_once", [](PeerState& s) { s.energy_returned += 10; }},
        Garbage{"number_repeated", [](PeerState& s) { s.number = 2; }}),
    [](const testing::TestParamInfo<Garbage>& info) { return info.param.name; });

TEST(PeerCheck, AnArmMovingFastWithJitteryStampsAndLumpsOfReturnedEnergyIsNeverRefused) {
  PeerCheck check;
  const double w = 1.0 / 0.05;  // 1 m/s on a circle of 5 cm
  for (std::uint64_t n = 1; n <= 5000; ++n) {
    const double t = n * 1e-3;
    PeerState state;
    state.number = n;
    state.position = {0.05 * std::cos(w * t), 0.05 * std::sin(w * t), 0};
    state.velocity = {-std::sin(w * t), std::cos(w * t), 0};
    state.energy_in = 10 * t;
    // What this side granted, given back in one lump each second: a second's delay.
    state.energy_returned = 8 * std::floor(t);
    const std::int64_t stamp = static_cast<std::int64_t>(n) * ms + ((n * 7919) % 3) * ms / 2;
    const Verdict verdict = check.accept(state, stamp);
    ASSERT_EQ(verdict, n == 1 ? Verdict::taken_up : Verdict::accepted) << "sample " << n;
  }
}

TEST(PeerCheck, SamplesOfAnotherRunOrAnotherTrackAreTakenUpNotFollowed) {
  PeerCheck check;
  ASSERT_EQ(check.accept(moving(100), 0), Verdict::taken_up);
  ASSERT_EQ(check.accept(moving(101), 1 * ms), Verdict::accepted);
  // The sender started again: its numbers and sums from the start, its arm elsewhere.
  PeerState restarted = moving(1);
  restarted.position[0] = 0.2;
  EXPECT_EQ(check.accept(restarted, 2 * ms), Verdict::taken_up);
  // A shove: one sample beyond the prediction is refused, two that agree are a new track.
  PeerState shoved = moving(2);
  shoved.position[0] = 0.3;
  EXPECT_EQ(check.accept(shoved, 3 * ms), Verdict::refused);
  shoved.number = 3;
  shoved.position[0] += 0.1 * 1e-3;
  EXPECT_EQ(check.accept(shoved, 4 * ms), Verdict::taken_up);
  // Another sender taken up.
  check.forget();
  EXPECT_EQ(check.accept(moving(7), 5 * ms), Verdict::taken_up);
}

TEST(PeerCheck, EnergyGrantedIsBoundedFromTheRunsFirstSampleNotFromZero) {
  PeerCheck check;
  // A side heard first after it has run for long: its sums stand high, which is no grant.
  PeerState first = moving(1);
  first.energy_in = 500;
  ASSERT_EQ(check.accept(first, 0), Verdict::taken_up);
  PeerState next = moving(2);
  next.energy_in = 500 + PeerCheck::power_limit_w * 0.005;  // well within 1 ms + the allowance
  EXPECT_EQ(check.accept(next, 1 * ms), Verdict::accepted);
  next.number = 3;
  next.position = moving(3).position;
  next.energy_in = 500 + PeerCheck::power_limit_w * 0.5;  // half a second's worth, at 2 ms
  EXPECT_EQ(check.accept(next, 2 * ms), Verdict::refused);
}

}  // namespace
}  // namespace Orvex::HardwareAPI::Haptics
