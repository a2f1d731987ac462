#pragma once

#include <cstdint>

#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Haptics {

// One side of a teleoperation as the other side learns it, one per cycle.
struct PeerState {
  std::uint64_t number = 0;  // from 1, one more each cycle sent
  Vector3d position{};
  Vector3d velocity{};
  Vector3d force{};          // what the channel commanded at the sender
  double energy_in = 0;      // J that entered the channel at the sender, since it started
  double energy_out = 0;     // J the channel gave back at the sender, since it started
  double energy_returned = 0;  // J of its allowance the sender gave back, since it started
  std::uint64_t run = 0;     // the receiver's own: one more at each sample taken up (never sent)
};

}  // namespace Orvex::HardwareAPI::Haptics
