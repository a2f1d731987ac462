#pragma once

// Commands the application hands to a listener's thread, which writes them between two messages.
// A ring of fixed capacity: callers put under a lock of their own, the thread takes without one.

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "Devices/Handle.h"
#include "../Realtime/SpscRing.h"

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

// Application threads (any): put() takes the callers' lock, so they share the ring's producer
// side one at a time. The listener's thread: take(), without a lock.
class HandleOutbox {
 public:
  explicit HandleOutbox(std::size_t capacity) : ring(capacity) {}

  // False when the ring is full.
  bool put(const HandleCommand& command) {
    std::lock_guard<std::mutex> hold(callers);
    return ring.push_from_producer(command);
  }
  // False when nothing waits.
  bool take(HandleCommand& command) { return ring.pop_from_consumer(&command, 1) == 1; }

 private:
  std::mutex callers;
  SpscRing<HandleCommand> ring;
};

}  // namespace Orvex::HardwareAPI::Haptics
