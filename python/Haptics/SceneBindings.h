#pragma once

#include <pybind11/pybind11.h>

namespace Orvex::HardwareAPI::Python {

// Scene and its shapes, registered after Effect, which Scene is a kind of.
void bind_scene(pybind11::module_& module);

}  // namespace Orvex::HardwareAPI::Python
