// The SPSC ring under two threads (single values and rows), and under several producers that
// share its producer side through a lock of their own (as the listener's command callers do).

#include "SpscRing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Orvex::HardwareAPI::Haptics::SpscRing;

TEST(SpscRing, HandsEveryValueOverInOrderUnderTwoThreads) {
  SpscRing<std::uint64_t> ring(64);
  constexpr std::uint64_t count = 200'000;
  std::thread producer([&] {
    for (std::uint64_t n = 0; n < count;)
      if (ring.push_from_producer(n)) ++n;
  });
  std::uint64_t expected = 0;
  std::uint64_t batch[16];
  while (expected < count) {
    const std::size_t n = ring.pop_from_consumer(batch, 16);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(batch[i], expected++);
  }
  producer.join();
  EXPECT_EQ(ring.pop_from_consumer(batch, 16), 0u);
  EXPECT_EQ(ring.capacity(), 64u);
}

// A recording's rows: each push and pop moves whole rows of the ring's width, never a torn one.
TEST(SpscRing, HandsWholeRowsOverInOrderUnderTwoThreads) {
  constexpr std::size_t width = 3;
  SpscRing<double> ring(16, width);
  constexpr std::uint64_t count = 100'000;
  std::thread producer([&] {
    for (std::uint64_t n = 0; n < count;) {
      const double row[width] = {double(n), double(n) + 0.25, double(n) + 0.5};
      if (ring.push_row_from_producer(row)) ++n;
    }
  });
  std::uint64_t expected = 0;
  double batch[5 * width];
  while (expected < count) {
    const std::size_t n = ring.pop_from_consumer(batch, 5);
    for (std::size_t i = 0; i < n; ++i, ++expected) {
      ASSERT_EQ(batch[i * width], double(expected));
      ASSERT_EQ(batch[i * width + 1], double(expected) + 0.25);
      ASSERT_EQ(batch[i * width + 2], double(expected) + 0.5);
    }
  }
  producer.join();
  EXPECT_EQ(ring.pop_from_consumer(batch, 5), 0u);
  EXPECT_EQ(ring.capacity(), 16u);
}

TEST(SpscRing, RefusesWhenFullAndTakesAgainOnceRead) {
  SpscRing<int> ring(3);  // rounded up to 4
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(ring.push_from_producer(i));
  EXPECT_FALSE(ring.push_from_producer(4));
  int out[2];
  EXPECT_EQ(ring.pop_from_consumer(out, 1), 1u);
  EXPECT_EQ(out[0], 0);
  EXPECT_TRUE(ring.push_from_producer(4));
}

struct Tagged {
  std::uint32_t producer;
  std::uint32_t n;
};

TEST(SpscRingStress, ProducersTakingTurnsUnderALockLoseNothingAndKeepTheirOrder) {
  SpscRing<Tagged> ring(8);
  constexpr std::uint32_t producers = 3, each = 5'000;
  std::mutex turns;
  std::vector<std::thread> threads;
  for (std::uint32_t p = 0; p < producers; ++p)
    threads.emplace_back([&, p] {
      for (std::uint32_t n = 0; n < each;) {
        std::lock_guard<std::mutex> hold(turns);
        if (ring.push_from_producer({p, n})) ++n;
      }
    });
  std::vector<std::uint32_t> next(producers, 0);
  std::uint64_t received = 0;
  Tagged batch[4];
  while (received < producers * each) {
    const std::size_t n = ring.pop_from_consumer(batch, 4);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_LT(batch[i].producer, producers);
      ASSERT_EQ(batch[i].n, next[batch[i].producer]++);
    }
    received += n;
  }
  for (auto& thread : threads) thread.join();
  for (const std::uint32_t n : next) EXPECT_EQ(n, each);
}

}  // namespace
