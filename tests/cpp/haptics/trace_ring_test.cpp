// The trace ring: copies of the rows after a cycle with the count overwritten, and stamps that
// keep a copy racing a restart from taking an earlier run's rows.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TraceRing.h"

namespace {

using namespace Orvex::HardwareAPI::Haptics;

TraceRow row(std::uint64_t cycle, double run = 0) {
  TraceRow r{};
  r.time = run;
  r.cycle = static_cast<double>(cycle);
  return r;
}

struct SinceCase {
  std::optional<std::uint64_t> after;
  double first;
  std::size_t rows;
  std::uint64_t overwritten;
};

class TraceSince : public testing::TestWithParam<SinceCase> {};

TEST_P(TraceSince, GivesTheNewRowsAndCountsTheOverwritten) {
  TraceRing ring(8);
  ring.reset();
  for (std::uint64_t c = 0; c < 20; ++c) ring.push(row(c));
  TraceCopy copy;
  ring.copy(GetParam().after, copy);
  ASSERT_EQ(copy.rows.size(), GetParam().rows);
  EXPECT_EQ(copy.overwritten, GetParam().overwritten);
  for (std::size_t i = 0; i < copy.rows.size(); ++i)
    EXPECT_EQ(copy.rows[i].cycle, GetParam().first + i);
}

INSTANTIATE_TEST_SUITE_P(Cases, TraceSince,
                         testing::Values(SinceCase{std::nullopt, 12, 8, 12},
                                         SinceCase{5, 12, 8, 6}, SinceCase{11, 12, 8, 0},
                                         SinceCase{15, 16, 4, 0}, SinceCase{19, 0, 0, 0},
                                         SinceCase{1000, 0, 0, 0}));

TEST(TraceRing, ARestartShowsOnlyTheNewRunsRows) {
  TraceRing ring(8);
  ring.reset();
  for (std::uint64_t c = 0; c < 6; ++c) ring.push(row(c, 1));
  ring.reset();
  TraceCopy copy;
  ring.copy(std::nullopt, copy);
  EXPECT_TRUE(copy.rows.empty());
  for (std::uint64_t c = 0; c < 3; ++c) ring.push(row(c, 2));
  ring.copy(std::nullopt, copy);
  ASSERT_EQ(copy.rows.size(), 3u);
  for (const TraceRow& r : copy.rows) EXPECT_EQ(r.time, 2);
  ring.copy(0, copy);
  EXPECT_EQ(copy.rows.size(), 2u);
}

// A pusher that restarts its run over and over, against readers asking for rows after a cycle:
// every copy is one run's unbroken rows, starting right after the cycle asked for plus those
// counted as overwritten.
TEST(TraceRing, CopiesRacingPushesAndRestartsStayWithinOneRun) {
  TraceRing ring(64);
  std::atomic<bool> done{false};
  std::thread pusher([&] {
    for (double run = 1; !done.load(); ++run) {
      ring.reset();
      for (std::uint64_t c = 0; c < 500; ++c) ring.push(row(c, run));
    }
  });
  TraceCopy copy;
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t after = static_cast<std::uint64_t>(i % 300);
    ring.copy(after, copy);
    for (std::size_t k = 1; k < copy.rows.size(); ++k) {
      ASSERT_EQ(copy.rows[k].time, copy.rows[0].time);
      ASSERT_EQ(copy.rows[k].cycle, copy.rows[k - 1].cycle + 1);
    }
    if (!copy.rows.empty()) {
      ASSERT_EQ(copy.rows[0].cycle, after + 1 + copy.overwritten);
    }
  }
  done.store(true);
  pusher.join();
}

}  // namespace
