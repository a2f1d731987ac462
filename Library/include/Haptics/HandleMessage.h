#pragma once

#include <cstdint>

#include "Devices/Handle.h"

namespace Orvex::HardwareAPI::Haptics {

// One message a handle listener decoded, as it hands it on: the record of its kind, stamped with
// the time it arrived. A plain value of fixed size, so that queues of them are allocated once.
struct HandleMessage {
  enum class Kind : std::uint8_t { status, info, error };

  Kind kind = Kind::status;
  double time = 0.0;  // when it arrived, on the layer's clock (Haptics/Clock.h)
  Devices::HandleStatusMessageRecord status{};  // when kind is status
  Devices::HandleInfoRecord info{};             // when kind is info
  Devices::HandleErrorResponseRecord error{};   // when kind is error
};

}  // namespace Orvex::HardwareAPI::Haptics
