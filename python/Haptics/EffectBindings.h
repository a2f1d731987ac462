#pragma once

#include <pybind11/pybind11.h>

namespace Orvex::HardwareAPI::Python {

// Effect and its four kinds, registered before the servo loop that takes them.
void bind_effects(pybind11::module_& module);

}  // namespace Orvex::HardwareAPI::Python
