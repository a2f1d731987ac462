// The force's way from what the effects want to the clamp: the step limit for every finite
// force (also those too long to square), and a force that is not a number stepping toward zero.

#include "ForceShaping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "ForceLimit.h"

namespace {

using namespace Orvex::HardwareAPI::Haptics;

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

struct StepCase {
  const char* name;
  std::vector<Vector3d> wanted;  // one a cycle, after 8 N along x was sent
  std::vector<double> fx;        // what the step limit of 0.5 N lets through
  std::vector<bool> non_finite;
};

class StepLimit : public testing::TestWithParam<StepCase> {};

TEST_P(StepLimit, StepsAtTheLimitWhateverIsWanted) {
  const StepCase& c = GetParam();
  ForceShaping shaping(0, 0.5, 0);
  shaping.sent({8, 0, 0});
  for (std::size_t i = 0; i < c.wanted.size(); ++i) {
    const ForceShaping::Shaped shaped = shaping.shape(c.wanted[i], {}, 100 + i);
    EXPECT_DOUBLE_EQ(shaped.force[0], c.fx[i]) << "cycle " << i;
    EXPECT_EQ(shaped.force[1], 0.0);
    EXPECT_EQ(shaped.non_finite, c.non_finite[i]) << "cycle " << i;
    shaping.sent(shaped.force);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryValue, StepLimit,
    testing::Values(
        // Its squared length overflows: the command still steps down to zero.
        StepCase{"huge_then_zero", {{-1e200, 0, 0}, {0, 0, 0}, {0, 0, 0}}, {7.5, 7, 6.5},
                 {false, false, false}},
        StepCase{"largest_double", {{-1.7e308, 0, 0}, {-1.7e308, 0, 0}}, {7.5, 7},
                 {false, false}},
        StepCase{"not_a_number", {{nan, 0, 0}, {nan, 0, 0}, {8, 0, 0}}, {7.5, 7, 7.5},
                 {true, true, false}},
        StepCase{"infinite", {{inf, 0, 0}, {0, -inf, 0}}, {7.5, 7}, {true, true}},
        // Every other cycle not a number: the command wavers by one step, never 8 N.
        StepCase{"chatter", {{nan, 0, 0}, {8, 0, 0}, {nan, 0, 0}, {8, 0, 0}}, {7.5, 8, 7.5, 8},
                 {true, false, true, false}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StepLimit, NoLimitPassesHugeForcesOnToTheClamp) {
  ForceShaping shaping(0, 0, 0);
  const ForceShaping::Shaped shaped = shaping.shape({-1e200, 1e200, 0}, {}, 1);
  const LimitedForce limited = limit_force(shaped.force, 10);
  EXPECT_TRUE(limited.clamped);
  EXPECT_FLOAT_EQ(limited.command[0], static_cast<float>(-10 / std::sqrt(2.0)));
  EXPECT_FLOAT_EQ(limited.command[1], static_cast<float>(10 / std::sqrt(2.0)));
}

TEST(Shortened, KeepsWhatIsWithinTheLimitToTheBit) {
  const Vector3d v{0.1, 0.2, 0.3};
  const Shortened same = shortened(v, 1);
  EXPECT_FALSE(same.shortened);
  EXPECT_EQ(same.vector, v);
  const Shortened cut = shortened({3, 4, 0}, 1);
  EXPECT_TRUE(cut.shortened);
  EXPECT_DOUBLE_EQ(cut.vector[0], 0.6);
  EXPECT_DOUBLE_EQ(cut.vector[1], 0.8);
}

}  // namespace
