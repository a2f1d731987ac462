#pragma once

// The handle a listener's thread talks to: it writes the queued commands through the device
// class, and each whole message the framer cuts that can be a handle's becomes a stamped message
// in the inbox; any other is refused and counted.

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "Devices/Handle.h"
#include "HandleFramer.h"
#include "HandleInbox.h"

namespace Orvex::HardwareAPI::Haptics {

class ListeningHandle : public Devices::Handle {
 public:
  ListeningHandle(IO::SerialStream* stream, HandleInbox& inbox);

  // Takes one whole message, header code first, as the framer cut it, with what the framer holds
  // after it. Returns how many of its bytes were the message: fewer when it swallowed the next
  // ones, which are then read again; none when the bytes after it must be seen first.
  std::size_t take(const std::uint8_t* bytes, std::size_t size,
                   const HandleFramer::Following& following);

  // After a reopened port: nothing is delivered until an information reply names the handle
  // known before (any handle when none was).
  void await_same_handle();
  bool on_probation() const { return probation; }
  // On probation: whether another handle's information reply came, and its device id.
  bool other_handle_answered(std::uint16_t& id) const;

 private:
  // Whether the message decoded can be a handle's.
  bool plausible() const;
  // Stamps the message being built and puts it in the inbox.
  void deliver();

  HandleInbox& inbox;
  // Built here rather than on the thread's stack, which is small on some systems.
  HandleMessage message;
  bool knows_device = false;
  std::uint16_t device_id = 0;  // of the last information reply delivered
  bool probation = false;
  bool other_answered = false;  // during this probation
  std::uint16_t other_id = 0;
};

}  // namespace Orvex::HardwareAPI::Haptics
