#pragma once

// The haptics module's registrations, each in a file of its own, called from its module body.

#include <pybind11/pybind11.h>

#include "Haptics/ServoLoop.h"

namespace Orvex::HardwareAPI::Python {

void bind_servo_loop(pybind11::module_& module);
void bind_handle_listener(pybind11::module_& module);
// Expression and NativeEffect, after the Effect they derive from.
void bind_laws(pybind11::module_& module);
void bind_couplings(pybind11::module_& module);
// Publisher and Teleoperation, in a build with DDS.
void bind_network(pybind11::module_& module);

// The loop of a Python ServoLoop; TypeError naming the argument for anything else.
const Haptics::ServoLoop& servo_loop_in(pybind11::handle object, const char* name);

}  // namespace Orvex::HardwareAPI::Python
