// The loop's arithmetic: each effect's law, the force limit and the histograms.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "ForceLimit.h"
#include "Haptics/ConstantForce.h"
#include "Haptics/Damper.h"
#include "Haptics/Spring.h"
#include "Haptics/Wall.h"
#include "LatencyHistogram.h"
#include "ParamNames.h"

namespace {

using namespace Orvex::HardwareAPI::Haptics;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

struct LawCase {
  std::string name;
  std::function<std::shared_ptr<Effect>()> make;
  Vector3d x, v, expected;
};

class EffectLaw : public testing::TestWithParam<LawCase> {};

TEST_P(EffectLaw, GivesTheForceOfItsFormula) {
  const LawCase& c = GetParam();
  const Vector3d force = c.make()->force_at(c.x, c.v);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(force[i], c.expected[i], 1e-12) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Effects, EffectLaw,
    testing::Values(
        LawCase{"spring", [] { return std::make_shared<Spring>(Vector3d{1, 2, 3}, 10, 0.5); },
                {2, 2, 1}, {1, 0, -2}, {-10 - 0.5, 0, 20 + 1}},
        LawCase{"damper", [] { return std::make_shared<Damper>(4); }, {5, 5, 5}, {1, -2, 0.5},
                {-4, 8, -2}},
        LawCase{"constant", [] { return std::make_shared<ConstantForce>(Vector3d{1, -2, 3}); },
                {9, 9, 9}, {9, 9, 9}, {1, -2, 3}},
        // The normal is scaled to length 1: d = -0.5, s = 100 * 0.5 - 2 * (-1) = 52.
        LawCase{"wall_inside",
                [] { return std::make_shared<Wall>(Vector3d{0, 0, 1}, Vector3d{0, 0, 4}, 100, 2); },
                {7, 7, 0.5}, {3, 3, -1}, {0, 0, 52}},
        LawCase{"wall_on_its_plane",
                [] { return std::make_shared<Wall>(Vector3d{0, 0, 1}, Vector3d{0, 0, 1}, 100, 2); },
                {0, 0, 1}, {0, 0, -1}, {0, 0, 0}},
        LawCase{"wall_outside",
                [] { return std::make_shared<Wall>(Vector3d{0, 0, 1}, Vector3d{0, 0, 1}, 100, 2); },
                {0, 0, 1.5}, {0, 0, -9}, {0, 0, 0}},
        // Inside, leaving fast: damping would pull, so nothing.
        LawCase{"wall_never_pulls",
                [] { return std::make_shared<Wall>(Vector3d{0, 0, 1}, Vector3d{0, 0, 1}, 10, 5); },
                {0, 0, 0.9}, {0, 0, 1}, {0, 0, 0}},
        LawCase{"slanted_wall",
                [] { return std::make_shared<Wall>(Vector3d{0, 0, 0}, Vector3d{1, 1, 0}, 10, 0); },
                {-1, -1, 0}, {0, 0, 0}, {10, 10, 0}}),
    Orvex::Testing::ByName());

TEST(Effects, SettersRefuseValuesOutsideTheLawAndKeepTheOldOnes) {
  Wall wall({0, 0, 0}, {0, 1, 0}, 5, 1);
  EXPECT_FALSE(wall.set_normal({0, 0, 0}));
  EXPECT_FALSE(wall.set_normal({nan, 1, 0}));
  EXPECT_FALSE(wall.set_stiffness(-1));
  EXPECT_FALSE(wall.set_damping(inf));
  EXPECT_FALSE(wall.set_point({0, inf, 0}));
  EXPECT_EQ(wall.normal(), (Vector3d{0, 1, 0}));
  EXPECT_EQ(wall.stiffness(), 5);
  EXPECT_EQ(wall.damping(), 1);
  Spring spring;
  EXPECT_FALSE(spring.set_stiffness(nan));
  EXPECT_TRUE(spring.set_stiffness(0));
  Damper damper;
  EXPECT_FALSE(damper.set_coefficient(-0.5));
  ConstantForce constant;
  EXPECT_FALSE(constant.set_force({nan, 0, 0}));
  EXPECT_EQ(constant.force(), (Vector3d{0, 0, 0}));
}

TEST(Effects, RefusedConstructorValuesAreLeftAtTheirDefaults) {
  EXPECT_EQ(Wall({0, 0, 0}, {0, 0, 0}, 100).normal(), (Vector3d{0, 0, 1}));
  EXPECT_EQ(Spring({0, 0, 0}, -5).force_at({1, 1, 1}, {}), (Vector3d{0, 0, 0}));
}

TEST(Effects, APositionThatIsNoNumberGivesNoNumberForTheLoopToRefuse) {
  const Wall wall({0, 0, 0}, {0, 0, 1}, 10);
  EXPECT_TRUE(std::isnan(wall.force_at({0, 0, nan}, {0, 0, 0})[2]));
  EXPECT_TRUE(std::isnan(Spring({0, 0, 0}, 10).force_at({nan, 0, 0}, {})[0]));
}

struct LimitCase {
  std::string name;
  Vector3d wanted;
  std::array<float, 3> command;
  bool clamped, non_finite;
};

class ForceLimit : public testing::TestWithParam<LimitCase> {};

TEST_P(ForceLimit, KeepsDirectionAndRefusesWhatIsNotANumber) {
  const LimitCase& c = GetParam();
  const LimitedForce limited = limit_force(c.wanted, 10);
  for (int i = 0; i < 3; ++i) EXPECT_FLOAT_EQ(limited.command[i], c.command[i]) << i;
  EXPECT_EQ(limited.clamped, c.clamped);
  EXPECT_EQ(limited.non_finite, c.non_finite);
}

INSTANTIATE_TEST_SUITE_P(
    Forces, ForceLimit,
    testing::Values(LimitCase{"within", {3, -4, 0}, {3, -4, 0}, false, false},
                    LimitCase{"exactly_at_the_limit", {6, 8, 0}, {6, 8, 0}, false, false},
                    LimitCase{"too_long", {30, -40, 0}, {6, -8, 0}, true, false},
                    LimitCase{"too_large_to_square", {3e200, 4e200, 0}, {6, 8, 0}, true, false},
                    LimitCase{"zero", {0, 0, 0}, {0, 0, 0}, false, false},
                    LimitCase{"nan", {1, nan, 0}, {0, 0, 0}, false, true},
                    LimitCase{"infinite", {0, 0, -inf}, {0, 0, 0}, false, true}),
    Orvex::Testing::ByName());

TEST(LatencyHistogramTest, QuantilesComeFromMicrosecondBinsAndTheLongestIsExact) {
  LatencyHistogram histogram;
  EXPECT_EQ(histogram.quantile_us(0.5), 0);
  for (int i = 0; i < 98; ++i) histogram.record(100'400);  // 100.4 us
  histogram.record(250'000);
  histogram.record(9'000'000);  // beyond the bins
  histogram.record(-5);         // a clock step: counted as zero
  EXPECT_EQ(histogram.quantile_us(0.5), 101);
  EXPECT_EQ(histogram.quantile_us(0.99), 251);
  EXPECT_EQ(histogram.quantile_us(1.0), 9000);
  EXPECT_EQ(histogram.max_us(), 9000);
  histogram.reset();
  EXPECT_EQ(histogram.max_us(), 0);
  EXPECT_EQ(histogram.quantile_us(0.99), 0);
}

}  // namespace
