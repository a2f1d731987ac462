// The live parameters of a user's law: a change is published whole or refused whole, and a
// reader racing a writer never sees half of one.

#include "Haptics/LawParameters.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace {

using Orvex::HardwareAPI::Haptics::LawParameters;

TEST(LawParameters, KeepsItsCountAndRefusesAWholeChangeForOneBadPart) {
  LawParameters parameters({1, 2, 3, 4}, 3);
  EXPECT_EQ(parameters.size(), 3u);
  EXPECT_EQ(parameters.values()[3], 0.0);  // beyond the count: zero
  EXPECT_TRUE(parameters.set(2, 30));
  const std::vector<LawParameters::Change> refused[] = {
      {{0, 10}, {3, 1}},          // out of range
      {{0, 10}, {1, NAN}},        // not finite
      {{1, INFINITY}},
  };
  for (const auto& change : refused) EXPECT_FALSE(parameters.set(change.data(), change.size()));
  const LawParameters::Values now = parameters.values();
  EXPECT_EQ(now[0], 1.0);
  EXPECT_EQ(now[1], 2.0);
  EXPECT_EQ(now[2], 30.0);
}

TEST(LawParameters, AReaderNeverSeesHalfAChangeWhileWritersRace) {
  LawParameters parameters({}, LawParameters::capacity);
  std::atomic<bool> done{false};
  std::atomic<std::size_t> reads{0};
  // Two writers, each publishing every parameter at once to one value of its own per change.
  // They go on until the reader has read often too: on a loaded machine it may get no turn.
  auto writer = [&](double sign) {
    std::vector<LawParameters::Change> change(LawParameters::capacity);
    for (int n = 1; n <= 20000 || reads.load() < 1000; ++n) {
      for (std::size_t i = 0; i < change.size(); ++i) change[i] = {i, sign * n};
      parameters.set(change.data(), change.size());
    }
  };
  std::thread first(writer, 1.0), second(writer, -1.0);
  std::thread stopper([&] {
    first.join();
    second.join();
    done = true;
  });
  std::size_t torn = 0;
  while (!done) {
    LawParameters::Values seen{};
    if (!parameters.try_read(seen)) continue;
    ++reads;
    for (double value : seen) torn += value != seen[0];
  }
  stopper.join();
  EXPECT_GE(reads.load(), 1000u);
  EXPECT_EQ(torn, 0u);
  const double last = parameters.values()[0];
  EXPECT_GE(std::abs(last), 20000.0);
}

}  // namespace
