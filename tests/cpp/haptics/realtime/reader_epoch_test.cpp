// The grace period under a reader that never stops: a writer that replaces what the reader reads
// frees the old one only once no read section can still hold it. The old one is poisoned before
// it is freed, so a reader that read it after the grace period would see the poison (and a
// sanitizer the freed memory).

#include "ReaderEpoch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace {

using Orvex::HardwareAPI::Haptics::ReaderEpoch;

constexpr std::uint64_t poison = 0xDEADDEADDEADDEADu;

struct Published {
  std::atomic<std::uint64_t> words[4];
  explicit Published(std::uint64_t n) {
    for (auto& word : words) word.store(n, std::memory_order_relaxed);
  }
};

TEST(ReaderEpochStress, AReplacedValueIsFreedOnlyAfterEveryReadOfItEnded) {
  ReaderEpoch epoch;
  std::atomic<Published*> current{new Published(1)};
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> sections{0}, poisoned{0};
  std::thread reader([&] {
    while (!done.load(std::memory_order_relaxed)) {
      epoch.enter_from_reader();
      const Published* seen = current.load(std::memory_order_acquire);
      for (const auto& word : seen->words)
        if (word.load(std::memory_order_relaxed) == poison) poisoned.fetch_add(1);
      epoch.leave_from_reader();
      sections.fetch_add(1, std::memory_order_relaxed);
    }
  });
  // Until the reader has had its share too: on a loaded machine it may start late.
  for (std::uint64_t n = 2; n < 20'000 || sections.load() < 1000; ++n) {
    Published* old = current.exchange(new Published(n), std::memory_order_release);
    epoch.wait_for_readers_from_writer();
    for (auto& word : old->words) word.store(poison, std::memory_order_relaxed);
    delete old;
  }
  done.store(true);
  reader.join();
  delete current.load();
  EXPECT_EQ(poisoned.load(), 0u);
  EXPECT_GT(sections.load(), 0u);
}

TEST(ReaderEpoch, AWriterDoesNotWaitWhileNoSectionIsUnderWay) {
  ReaderEpoch epoch;
  epoch.enter_from_reader();
  epoch.leave_from_reader();
  epoch.wait_for_readers_from_writer();  // returns: the one section has ended
  SUCCEED();
}

#ifndef NDEBUG
// The death is forked, not started again: under user-mode emulation the test program is no
// program the machine itself can start.
TEST(ReaderEpochDeathTest, ASecondReaderInsideAtTheSameTimeStopsADebugBuild) {
  EXPECT_DEATH(
      {
        ReaderEpoch epoch;
        epoch.enter_from_reader();
        epoch.enter_from_reader();
      },
      "single-writer");
}
#endif

}  // namespace
