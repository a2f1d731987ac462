// The listener's inbox under contention: the listener thread puts numbered messages as fast as
// it can while readers on several threads take them and read the latest. Every message taken is
// whole and taken once, in order per reader, and taken plus dropped accounts for every put.

#include "HandleInbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using namespace Orvex::HardwareAPI::Haptics;
using namespace std::chrono_literals;

// The number n written into every field a torn copy would mix up.
HandleMessage numbered(std::uint32_t n) {
  HandleMessage message;
  message.kind = HandleMessage::Kind::status;
  message.time = n;
  message.status.device_id = static_cast<std::uint16_t>(n);
  message.status.user_data_length = 255;
  for (auto& byte : message.status.user_data) byte = static_cast<std::uint8_t>(n);
  for (auto& component : message.status.quaternion) component = static_cast<float>(n % 1000);
  return message;
}

bool whole(const HandleMessage& message) {
  const auto n = static_cast<std::uint32_t>(message.time);
  for (const auto byte : message.status.user_data)
    if (byte != static_cast<std::uint8_t>(n)) return false;
  for (const auto component : message.status.quaternion)
    if (component != static_cast<float>(n % 1000)) return false;
  return message.status.device_id == static_cast<std::uint16_t>(n);
}

TEST(HandleInboxStress, ReadersOnFourThreadsTakeWholeMessagesEachOnce) {
  HandleInbox inbox(64);
  constexpr std::uint32_t total = 200000;
  std::atomic<bool> writing{true};
  std::thread listener([&] {
    for (std::uint32_t n = 1; n <= total; ++n) inbox.put(numbered(n), n / 1000);
    writing = false;
    inbox.wake_readers();
  });
  std::atomic<std::uint64_t> taken{0}, torn{0}, out_of_order{0};
  std::vector<std::vector<bool>> seen_by(4);
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r)
    readers.emplace_back([&, r] {
      std::vector<bool>& seen = seen_by[r];
      seen.assign(total + 1, false);
      double last = 0;
      HandleMessage message;
      for (;;) {
        const bool more_to_come = writing.load();
        if (!inbox.take(message)) {
          if (!more_to_come) break;
          inbox.wait(1ms, [&] { return !writing.load(); });
        } else {
          ++taken;
          if (!whole(message)) ++torn;
          if (message.time <= last) ++out_of_order;
          last = message.time;
          seen[static_cast<std::size_t>(message.time)] = true;
        }
        HandleMessage latest;
        if (inbox.latest_status(latest) && !whole(latest)) ++torn;
      }
    });
  listener.join();
  for (auto& reader : readers) reader.join();
  HandleMessage rest;
  while (inbox.take(rest)) ++taken;

  EXPECT_EQ(torn.load(), 0u);
  EXPECT_EQ(out_of_order.load(), 0u);
  std::uint64_t distinct = 0, duplicates = 0;
  for (std::size_t n = 1; n <= total; ++n) {
    int times = 0;
    for (const auto& seen : seen_by) times += seen[n];
    distinct += times > 0;
    duplicates += times > 1;
  }
  EXPECT_EQ(duplicates, 0u);
  const HandleListenerStats counts = inbox.counts(total / 1000);
  EXPECT_EQ(counts.status, total);
  EXPECT_EQ(taken.load() + counts.dropped, std::uint64_t{total});
  EXPECT_GT(distinct, 0u);
}

}  // namespace
