#pragma once

// The refusal of a loop or listener whose port another driver holds: the port, and the process
// holding it where the system's lock table tells it.

#include <string>

#include "Haptics/PortLock.h"
#include "IO/SerialStream.h"

namespace Orvex::HardwareAPI::Python {

inline std::string port_lock_refusal(const IO::SerialStream& stream) {
  std::string text = "another servo loop or handle listener drives " + stream.path();
  const IO::serialib* port = stream.port();
  if (const pid_t holder = port ? Haptics::PortLock::holder(port->fd) : 0)
    text += " (process " + std::to_string(holder) + ")";
  return text;
}

}  // namespace Orvex::HardwareAPI::Python
