#pragma once

// The handle a listener's thread receives with: each message that came whole and can be a
// handle's becomes a stamped message in the inbox; any other is refused and counted.

#include <chrono>
#include <cstdint>

#include "Devices/Handle.h"
#include "HandleInbox.h"

namespace Orvex::HardwareAPI::Haptics {

class ListeningHandle : public Devices::Handle {
 public:
  ListeningHandle(IO::SerialStream* stream, HandleInbox& inbox);

  // Message times count from here.
  void restart_clock();

  // Receives one message: Receive's result.
  std::int32_t receive();

  // After a reopened port: nothing is delivered until an information reply names the handle
  // known before (any handle when none was); then adopted() turns true once.
  void await_same_handle();
  bool on_probation() const { return probation; }
  bool adopted();

  void OnReceiveHandleInfoRecord(const Devices::HandleInfoRecord& record) override;
  void OnReceiveHandleStatusMessageRecord(const Devices::HandleStatusMessageRecord& record) override;
  void OnReceiveHandleErrorResponseRecord(const Devices::HandleErrorResponseRecord& record) override;

 private:
  // Whether the message built can be a handle's, given the reads' count.
  bool plausible(std::int32_t count) const;
  // Stamps the message being built and puts it in the inbox.
  void deliver();

  HandleInbox& inbox;
  std::chrono::steady_clock::time_point started;
  // Built here rather than on the thread's stack, which is small on some systems.
  HandleMessage message;
  bool built = false;
  bool knows_device = false;
  std::uint16_t device_id = 0;  // of the last information reply delivered
  bool probation = false;
  bool just_adopted = false;
};

}  // namespace Orvex::HardwareAPI::Haptics
