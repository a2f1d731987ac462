#include "HandleOutbox.h"

namespace Orvex::HardwareAPI::Haptics {

void HandleCommand::send(Devices::Handle& handle) const {
  switch (kind) {
    case Kind::wakeup:
      handle.SendDeviceWakeup();
      break;
    case Kind::status_request:
      handle.RequestStatus();
      break;
    case Kind::state:
      handle.SendHandleState(device_id, data_length, user_data);
      break;
  }
}

}  // namespace Orvex::HardwareAPI::Haptics
