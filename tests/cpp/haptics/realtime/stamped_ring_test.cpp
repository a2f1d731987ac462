// The stamped ring under a writer that laps its readers: a reader gets the very value of the
// place it asks for, whole, or is told that the place was overwritten; never an older or newer
// lap's value, never a torn one.

#include "StampedRing.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

namespace {

using Orvex::HardwareAPI::Haptics::StampedRing;

// Word i holds place + i: a torn or misplaced read shows.
using Value = std::array<std::uint64_t, 7>;

Value value_at(std::uint64_t place) {
  Value value;
  std::iota(value.begin(), value.end(), place);
  return value;
}

TEST(StampedRing, HoldsTheLastCapacityPlacesAndRefusesTheOthers) {
  StampedRing<Value> ring(4);
  for (std::uint64_t place = 0; place < 10; ++place) ring.push_from_writer(value_at(place));
  EXPECT_EQ(ring.written(), 10u);
  EXPECT_EQ(ring.oldest_held(ring.written()), 6u);
  Value out{};
  for (std::uint64_t place = 0; place < 12; ++place)
    EXPECT_EQ(ring.read_from_any(place, out), place >= 6 && place < 10) << place;
  ASSERT_TRUE(ring.read_from_any(7, out));
  EXPECT_EQ(out, value_at(7));
}

TEST(StampedRing, WithoutCapacityKeepsAndCountsNothing) {
  StampedRing<Value> ring(0);
  ring.push_from_writer(value_at(0));
  Value out{};
  EXPECT_EQ(ring.written(), 0u);
  EXPECT_FALSE(ring.read_from_any(0, out));
}

TEST(StampedRingStress, ReadersOnThreeThreadsGetTheirPlacesValueOrNothing) {
  StampedRing<Value> ring(16);
  constexpr std::uint64_t pushes = 300'000;
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> intact{0}, overwritten{0}, wrong{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r)
    readers.emplace_back([&] {
      Value out{};
      while (!done.load()) {
        const std::uint64_t end = ring.written();
        // From the oldest held place on: the writer laps the slowest of them.
        for (std::uint64_t place = ring.oldest_held(end); place < end; ++place) {
          if (!ring.read_from_any(place, out)) {
            overwritten.fetch_add(1);
          } else {
            intact.fetch_add(1);
            if (out != value_at(place)) wrong.fetch_add(1);
          }
        }
      }
    });
  for (std::uint64_t place = 0; place < pushes; ++place) ring.push_from_writer(value_at(place));
  done.store(true);
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0u);
  EXPECT_GT(intact.load(), 0u);
  EXPECT_EQ(ring.written(), pushes);
}

}  // namespace
