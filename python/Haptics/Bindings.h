#pragma once

// The haptics module's registrations, each in a file of its own, called from its module body.

#include <pybind11/pybind11.h>

namespace Orvex::HardwareAPI::Python {

void bind_servo_loop(pybind11::module_& module);
void bind_handle_listener(pybind11::module_& module);
// Expression and NativeEffect, after the Effect they derive from.
void bind_laws(pybind11::module_& module);

}  // namespace Orvex::HardwareAPI::Python
