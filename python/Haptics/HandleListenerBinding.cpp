// The HandleListener class as Python sees it.

#include "Bindings.h"

namespace Orvex::HardwareAPI::Python {

void bind_handle_listener(pybind11::module_&) {}

}  // namespace Orvex::HardwareAPI::Python
