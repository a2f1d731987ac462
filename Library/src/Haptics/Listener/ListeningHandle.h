#pragma once

// The handle a listener's thread receives with: each decoded record becomes a stamped message in
// the inbox.

#include <chrono>

#include "Devices/Handle.h"
#include "HandleInbox.h"

namespace Orvex::HardwareAPI::Haptics {

class ListeningHandle : public Devices::Handle {
 public:
  ListeningHandle(IO::SerialStream* stream, HandleInbox& inbox);

  // Message times count from here.
  void restart_clock();

  void OnReceiveHandleInfoRecord(const Devices::HandleInfoRecord& record) override;
  void OnReceiveHandleStatusMessageRecord(const Devices::HandleStatusMessageRecord& record) override;
  void OnReceiveHandleErrorResponseRecord(const Devices::HandleErrorResponseRecord& record) override;

 private:
  // Stamps the message being built and puts it in the inbox.
  void deliver();

  HandleInbox& inbox;
  std::chrono::steady_clock::time_point started;
  // Built here rather than on the thread's stack, which is small on some systems.
  HandleMessage message;
};

}  // namespace Orvex::HardwareAPI::Haptics
