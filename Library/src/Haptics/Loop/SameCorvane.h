#pragma once

// A reconnecting loop's device: the Corvane it woke at its start (the same UUID). Another device
// at the port's path is left alone, and the refusal names it. A Corvane that only went quiet (its
// replies came too late for a while) is still behind the loop's own port, and answers there.

#include <cstdint>

#include "UUID.h"
#include "../Reconnection/Reconnection.h"

namespace Orvex::HardwareAPI::Haptics {

class SameCorvane : public DeviceIdentity {
 public:
  // The loop's thread only, between starts: the Corvane the loop woke.
  void expect(const UUID& started_with) { uuid = started_with; }
  bool identify(int port, std::int64_t deadline_ns, ReconnectRefusal& refusal) override;
  // A Corvane whose replies only came too late for a while is still behind the loop's port.
  bool may_answer_on_held_port() const noexcept override { return true; }

 private:
  UUID uuid;
};

}  // namespace Orvex::HardwareAPI::Haptics
