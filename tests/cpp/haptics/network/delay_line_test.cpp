#include <gtest/gtest.h>

#include "Haptics/Network/DelayLine.h"

namespace Orvex::HardwareAPI::Haptics {
namespace {

constexpr std::int64_t ms = 1000000;

PeerState numbered(std::uint64_t number) {
  PeerState state;
  state.number = number;
  state.energy_in = static_cast<double>(number);
  return state;
}

TEST(DelayLine, HoldsEachSampleForTheDelay) {
  DelayLine line({0.1, 0, 0, 1});
  ASSERT_TRUE(line.offer(numbered(1), 0));
  ASSERT_TRUE(line.offer(numbered(2), 1 * ms));
  PeerState out;
  EXPECT_FALSE(line.take_due(99 * ms, out));
  EXPECT_EQ(line.next_due_ns(), 100 * ms);
  ASSERT_TRUE(line.take_due(100 * ms, out));
  EXPECT_EQ(out.number, 1u);
  ASSERT_TRUE(line.take_due(101 * ms, out));
  EXPECT_EQ(out.number, 2u);
  EXPECT_EQ(line.next_due_ns(), -1);
}

TEST(DelayLine, AnOvertakenSampleIsDroppedNotDeliveredLate) {
  DelayLine line({0.05, 0.05, 0, 7});
  PeerState out;
  std::uint64_t last = 0;
  int delivered = 0;
  for (std::uint64_t n = 1; n <= 2000; ++n) {
    line.offer(numbered(n), static_cast<std::int64_t>(n) * ms);
    if (line.take_due(static_cast<std::int64_t>(n) * ms, out)) {
      EXPECT_GT(out.number, last);
      last = out.number;
      ++delivered;
    }
  }
  // Spread over 0..100 ms, most samples are overtaken; the newest still comes through.
  EXPECT_GT(delivered, 100);
  EXPECT_LT(delivered, 2000);
}

TEST(DelayLine, LosesTheShareAskedFor) {
  DelayLine line({0, 0, 0.1, 3});
  int kept = 0;
  PeerState out;
  for (int n = 1; n <= 20000; ++n) {
    kept += line.offer(numbered(n), n) ? 1 : 0;
    line.take_due(n, out);
  }
  EXPECT_NEAR(kept / 20000.0, 0.9, 0.01);
}

TEST(DelayLine, APeerThatStartsAgainIsDeliveredFromItsFirstSample) {
  DelayLine line({0, 0, 0, 1});
  PeerState out;
  line.offer(numbered(500), 0);
  ASSERT_TRUE(line.take_due(0, out));
  line.offer(numbered(1), 1);
  ASSERT_TRUE(line.take_due(1, out));
  EXPECT_EQ(out.number, 1u);
}

TEST(DelayLine, AFullStoreLosesTheSampleInsteadOfGrowing) {
  DelayLine line({1, 0, 0, 1});
  for (std::size_t n = 1; n <= DelayLine::capacity; ++n) ASSERT_TRUE(line.offer(numbered(n), 0));
  EXPECT_FALSE(line.offer(numbered(DelayLine::capacity + 1), 0));
}

TEST(ChannelEmulation, RefusesWhatNoNetworkDoes) {
  EXPECT_EQ(ChannelEmulation({-0.1, 0, 0, 1}).problem(),
            std::string("emulate_delay_s must be in [0, 10]"));
  EXPECT_EQ(ChannelEmulation({0, -1, 0, 1}).problem(), std::string("jitter_s must be in [0, 10]"));
  EXPECT_EQ(ChannelEmulation({0, 0, 1, 1}).problem(), std::string("loss must be in [0, 1)"));
  EXPECT_EQ(ChannelEmulation({1, 0.5, 0.1, 1}).problem(), nullptr);
}

}  // namespace
}  // namespace Orvex::HardwareAPI::Haptics
