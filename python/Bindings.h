#pragma once

// The device classes' registrations, called from the module body in their turn.

#include <pybind11/pybind11.h>

namespace Orvex::HardwareAPI::Python {

void bind_corvane(pybind11::module_& module);

}  // namespace Orvex::HardwareAPI::Python
