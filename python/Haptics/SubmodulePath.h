#pragma once

#include <pybind11/pybind11.h>

namespace Orvex::HardwareAPI::Python {

// Makes the extension module a package whose pure-Python submodules (OrvexHaptics.testing) live
// in the folder of its name beside it, where they are installed.
void add_submodule_path(pybind11::module_& module);

}  // namespace Orvex::HardwareAPI::Python
