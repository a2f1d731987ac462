#pragma once

// The guardian's one act: zero force on the arm, written within its time budget, then the
// reply read for a moment so that the command has reached the device before the port closes.

namespace Orvex::HardwareAPI::Guardian {

// Through the held descriptor, or, when that port is gone (the loop opened it again after the
// device came back), through the port opened anew at its path unless another driver holds its
// lock. False when neither took it.
bool command_zero_force(int port, const char* path);

}  // namespace Orvex::HardwareAPI::Guardian
