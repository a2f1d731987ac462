// The published record under writers on three threads and a real-time reader: every change is
// made on the current record (none is lost to another writer's), published whole, and a change
// that refuses publishes nothing.

#include "Haptics/PublishedRecord.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using Orvex::HardwareAPI::Haptics::PublishedRecord;

// Every field the same count: a torn read shows as fields that differ.
using Record = std::array<std::uint64_t, 6>;

bool whole(const Record& record) {
  for (const std::uint64_t field : record)
    if (field != record[0]) return false;
  return true;
}

TEST(PublishedRecordStress, WritersOnThreeThreadsLoseNoChangeAndTheReaderSeesWholeRecords) {
  PublishedRecord<Record> record(Record{});
  constexpr std::uint64_t writers = 3, changes = 20'000;
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> torn{0}, backwards{0}, reads{0};
  std::thread reader([&] {
    std::uint64_t last = 0;
    Record seen{};
    while (!done.load()) {
      if (!record.read_from_rt(seen)) continue;
      reads.fetch_add(1, std::memory_order_relaxed);
      if (!whole(seen)) torn.fetch_add(1);
      if (seen[0] < last) backwards.fetch_add(1);
      last = seen[0];
    }
  });
  std::vector<std::thread> threads;
  for (std::uint64_t w = 0; w < writers; ++w)
    threads.emplace_back([&] {
      for (std::uint64_t n = 0; n < changes; ++n)
        record.write_from_non_rt([](Record& r) {
          for (auto& field : r) ++field;
        });
    });
  for (auto& thread : threads) thread.join();
  done.store(true);
  reader.join();
  EXPECT_EQ(torn.load(), 0u);
  EXPECT_EQ(backwards.load(), 0u);
  EXPECT_EQ(record.read_from_non_rt()[0], writers * changes);
  EXPECT_TRUE(whole(record.read_from_non_rt()));
}

TEST(PublishedRecord, AChangeThatRefusesPublishesNothing) {
  PublishedRecord<Record> record(Record{{1, 1, 1, 1, 1, 1}});
  EXPECT_FALSE(record.write_from_non_rt([](Record& r) {
    r[0] = 7;
    return false;
  }));
  EXPECT_EQ(record.read_from_non_rt()[0], 1u);
  EXPECT_TRUE(record.write_from_non_rt([](Record& r) {
    r.fill(2);
    return true;
  }));
  Record out{};
  ASSERT_TRUE(record.read_from_rt(out));
  EXPECT_EQ(out[5], 2u);
}

}  // namespace
