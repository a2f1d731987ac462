#pragma once

// A reconnecting loop's device: the Corvane it woke at its start (the same UUID). Another device
// at the port's path is left alone, and the refusal names it.

#include <cstdint>

#include "UUID.h"
#include "../Reconnection/Reconnection.h"

namespace Orvex::HardwareAPI::Haptics {

class SameCorvane : public DeviceIdentity {
 public:
  // The loop's thread only, between starts: the Corvane the loop woke.
  void expect(const UUID& started_with) { uuid = started_with; }
  bool identify(int port, std::int64_t deadline_ns, ReconnectRefusal& refusal) override;

 private:
  UUID uuid;
};

}  // namespace Orvex::HardwareAPI::Haptics
