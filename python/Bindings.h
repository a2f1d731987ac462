#pragma once

// The device classes' registrations, each in a file of its own, called from the module body.

#include <pybind11/pybind11.h>

namespace Orvex::HardwareAPI::Python {

void bind_corvane(pybind11::module_& module);
void bind_handle(pybind11::module_& module);

}  // namespace Orvex::HardwareAPI::Python
