#pragma once

// The one mapping from a start that did not happen (a servo loop's, a handle listener's) to the
// Python error: a port that would not open is a PortError, an OSError with errno, strerror and
// filename as for a file that would not open (and a RuntimeError too, as every other refused
// start is); settings that cannot run are a ValueError; everything else a RuntimeError.

#include <pybind11/pybind11.h>

#include <string>

#include "Haptics/StartResult.h"
#include "IO/SerialStream.h"

namespace Orvex::HardwareAPI::Python {

// Defines OrvexHaptics.PortError in the module.
void bind_start_errors(pybind11::module_& module);

// Why the start did not happen, worded for the user; empty for started. `owner` names the
// thread ("loop", "listener"). Needs no interpreter lock, so that it can be worded on the thread
// that tried (the guardian's problem is that thread's).
std::string start_refusal(Haptics::StartResult result, const IO::SerialStream& stream,
                          const char* owner);

// With the interpreter lock: raises the error for a start that did not happen, worded as
// start_refusal() worded it.
[[noreturn]] void raise_start_refusal(Haptics::StartResult result, const std::string& refusal,
                                      const IO::SerialStream& stream);

}  // namespace Orvex::HardwareAPI::Python
