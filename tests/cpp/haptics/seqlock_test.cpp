// The seqlock under contention: one writer at a time (two threads taking turns under a lock)
// against readers on several threads. A reader sees whole values only, and stamps that never go
// back.

#include "Haptics/Seqlock.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Orvex::HardwareAPI::Haptics::Seqlock;

// Every word the same number: a torn read shows as words that differ.
using Record = std::array<std::uint64_t, 9>;

Record record_of(std::uint64_t n) {
  Record record;
  record.fill(n);
  return record;
}

bool whole(const Record& record) {
  for (const std::uint64_t word : record)
    if (word != record[0]) return false;
  return true;
}

TEST(SeqlockStress, ReadersOnFourThreadsSeeWholeValuesThatNeverGoBack) {
  Seqlock<Record> shared;
  std::mutex writers;  // the seqlock's rule: one writer at a time
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> next{1};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w)
    threads.emplace_back([&] {
      while (!done.load()) {
        std::lock_guard<std::mutex> hold(writers);
        shared.store(record_of(next.fetch_add(1)));
      }
    });
  std::atomic<std::uint64_t> torn{0}, backwards{0}, reads{0}, stamped_reads{0};
  for (int r = 0; r < 4; ++r)
    threads.emplace_back([&] {
      std::uint64_t last = 0;
      while (!done.load()) {
        Record seen{};
        if (shared.try_load(seen)) {
          if (!whole(seen)) ++torn;
          // Writers take turns under the lock, so values grow with the writes.
          if (seen[0] < last) ++backwards;
          last = seen[0];
          ++reads;
        }
        Record latest{};
        if (shared.read_latest(latest) && !whole(latest)) ++torn;
        // A write asked for by its stamp is that write or nothing.
        Record stamped{};
        if (shared.read(stamped, seen[0]) ) {
          if (!whole(stamped) || stamped[0] != seen[0]) ++torn;
          ++stamped_reads;
        }
      }
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  done = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(torn.load(), 0u);
  EXPECT_EQ(backwards.load(), 0u);
  EXPECT_GT(reads.load(), 100u);
  EXPECT_GT(next.load(), 100u);
}

}  // namespace
