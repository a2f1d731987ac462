#pragma once

// Commands the application hands to a listener's thread, which writes them between two messages.
// A ring of fixed capacity: callers put under a lock of their own, the thread takes without one.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "Devices/Handle.h"

namespace Orvex::HardwareAPI::Haptics {

struct HandleCommand {
  enum class Kind : std::uint8_t { wakeup, status_request, state };

  Kind kind = Kind::wakeup;
  std::uint16_t device_id = 0;
  std::uint8_t data_length = 0;
  std::uint8_t user_data[Devices::HandleStatusMessageRecord::user_data_capacity] = {};

  // Writes the command through the handle.
  void send(Devices::Handle& handle) const;
};

template <std::size_t Capacity>
class HandleOutbox {
 public:
  // Any thread: false when the ring is full.
  bool put(const HandleCommand& command) {
    std::lock_guard<std::mutex> hold(callers);
    const std::uint64_t tail = put_total.load(std::memory_order_relaxed);
    if (tail - taken_total.load(std::memory_order_acquire) >= Capacity) return false;
    ring[tail % Capacity] = command;
    put_total.store(tail + 1, std::memory_order_release);
    return true;
  }

  // The listener's thread only: false when nothing waits.
  bool take(HandleCommand& command) {
    const std::uint64_t head = taken_total.load(std::memory_order_relaxed);
    if (head == put_total.load(std::memory_order_acquire)) return false;
    command = ring[head % Capacity];
    taken_total.store(head + 1, std::memory_order_release);
    return true;
  }

 private:
  std::array<HandleCommand, Capacity> ring{};
  std::atomic<std::uint64_t> put_total{0};
  std::atomic<std::uint64_t> taken_total{0};
  std::mutex callers;
};

}  // namespace Orvex::HardwareAPI::Haptics
