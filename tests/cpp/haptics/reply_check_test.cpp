// Which state replies the loop takes for the arm's: those where the last one predicts, a new
// track once two replies agree, and never a garbled value.

#include "ReplyCheck.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

using namespace Orvex::HardwareAPI::Haptics;
using Orvex::HardwareAPI::Devices::Vector3;

constexpr std::int64_t ms = 1'000'000;

// x with one bit of its float32 pattern flipped, as a noisy line does.
float flipped(float x, int bit) {
  std::uint32_t bits;
  std::memcpy(&bits, &x, 4);
  bits ^= std::uint32_t{1} << bit;
  float y;
  std::memcpy(&y, &bits, 4);
  return y;
}

TEST(ReplyCheck, AHandMovingTheArmFastWithJitteryStampsIsNeverRefused) {
  ReplyCheck check;
  // 1 m/s along a circle of 5 cm, stamps off by up to a millisecond either way.
  const double w = 1.0 / 0.05;
  for (int i = 0; i < 5000; ++i) {
    const double t = i * 1e-3;
    const std::int64_t stamp = i * ms + ((i * 7919) % 3 - 1) * ms;
    const Vector3 x{static_cast<float>(0.05 * std::cos(w * t)),
                    static_cast<float>(0.05 * std::sin(w * t)), 0};
    const Vector3 v{static_cast<float>(-std::sin(w * t)), static_cast<float>(std::cos(w * t)), 0};
    ASSERT_TRUE(check.accept(x, v, stamp)) << "cycle " << i;
  }
}

TEST(ReplyCheck, EveryFlippedBitThatMovesTheArmBeyondNoiseIsRefused) {
  const Vector3 x{0.0068f, -0.012f, 0.03f}, v{0.05f, 0, -0.02f};
  int refused = 0, harmless = 0;
  for (int axis = 0; axis < 3; ++axis) {
    for (int bit = 0; bit < 32; ++bit) {
      ReplyCheck check;
      ASSERT_TRUE(check.accept(x, v, 0));
      Vector3 next = x;
      for (int i = 0; i < 3; ++i) next[i] = static_cast<float>(x[i] + v[i] * 1e-3);
      const float clean = next[axis];
      next[axis] = flipped(clean, bit);
      const bool taken = check.accept(next, v, 1 * ms);
      // Only a flip within the window may pass: the sensor's noise, how far the arm moves in
      // the time its sample's stamp may be off, and how far it can speed up in a millisecond.
      if (taken) {
        const double window = ReplyCheck::position_noise_m +
                              std::fabs(v[axis]) * ReplyCheck::timing_uncertainty_s +
                              0.5 * ReplyCheck::acceleration_limit_m_s2 * 1e-6 + 1e-6;
        EXPECT_LE(std::fabs(next[axis] - clean), window) << "axis " << axis << " bit " << bit;
        ++harmless;
      } else {
        ++refused;
      }
      // The clean reply that follows is taken: a garbled one is never a new track.
      Vector3 after = x;
      for (int i = 0; i < 3; ++i) after[i] = static_cast<float>(x[i] + v[i] * 2e-3);
      EXPECT_TRUE(check.accept(after, v, 2 * ms)) << "axis " << axis << " bit " << bit;
    }
  }
  EXPECT_GT(refused, 40);
  EXPECT_GT(harmless, 30);  // the low mantissa bits
}

TEST(ReplyCheck, AnExponentFlipToZeroIsRefusedAtTheDefaultRate) {
  ReplyCheck check;
  ASSERT_TRUE(check.accept({0.0068f, 0, 0}, {}, 0));
  EXPECT_FALSE(check.accept({0, 0, 0}, {}, 1 * ms));
  EXPECT_FALSE(check.accept({0.0034f, 0, 0}, {}, 2 * ms));
  EXPECT_TRUE(check.accept({0.0068f, 0, 0}, {}, 3 * ms));
}

TEST(ReplyCheck, ACollisionIsTakenUpOnceTwoRepliesAgree) {
  ReplyCheck check;
  ASSERT_TRUE(check.accept({0, 0, 0}, {0.5f, 0, 0}, 0));
  // Stopped dead by a wall: a velocity change no prediction allows.
  EXPECT_FALSE(check.accept({0.0005f, 0, 0}, {0, 0, 0}, 1 * ms));
  EXPECT_TRUE(check.accept({0.0005f, 0, 0}, {0, 0, 0}, 2 * ms));
  EXPECT_TRUE(check.accept({0.0005f, 0, 0}, {0, 0, 0}, 3 * ms));
}

TEST(ReplyCheck, ImpossibleValuesAreRefusedEvenAsTheFirstReply) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const Vector3& x : {Vector3{nan, 0, 0}, Vector3{1.5f, 0, 0}, Vector3{0, -2, 0}}) {
    ReplyCheck check;
    EXPECT_FALSE(check.accept(x, {}, 0));
    EXPECT_FALSE(check.accept(x, {}, 1 * ms));
  }
  ReplyCheck check;
  EXPECT_FALSE(check.accept({}, {0, 0, 11}, 0));
}

TEST(ReplyCheck, AfterForgetTheNextReplyStandsOnItsOwn) {
  ReplyCheck check;
  ASSERT_TRUE(check.accept({0, 0, 0}, {}, 0));
  EXPECT_FALSE(check.accept({0.05f, 0, 0}, {}, 1 * ms));
  check.forget();
  EXPECT_TRUE(check.accept({0.05f, 0, 0}, {}, 2 * ms));
}

TEST(ReplyCheck, AfterMissingRepliesTheWindowGrowsWithTheTimeSince) {
  ReplyCheck check;
  ASSERT_TRUE(check.accept({0, 0, 0}, {}, 0));
  // 10 ms without a reply: half of 100 m/s² times (10 ms)² is 5 mm.
  EXPECT_TRUE(check.accept({0.004f, 0, 0}, {0.5f, 0, 0}, 10 * ms));
  ReplyCheck other;
  ASSERT_TRUE(other.accept({0, 0, 0}, {}, 0));
  EXPECT_FALSE(other.accept({0.004f, 0, 0}, {0.5f, 0, 0}, 1 * ms));
}

}  // namespace
