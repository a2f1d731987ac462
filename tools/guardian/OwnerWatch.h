#pragma once

// Waits on the program that started the guardian: for its stand-down byte, or for its end,
// told by the socket pair hanging up (every descriptor of it closed: the process ended or
// exec'd) or by the process's own descriptor (a child it forked without exec may still hold
// the socket).

#include <sys/types.h>

namespace Orvex::HardwareAPI::Guardian {

enum class OwnerNews { stood_down, ended };

OwnerNews watch_owner(int watch, pid_t owner);

}  // namespace Orvex::HardwareAPI::Guardian
