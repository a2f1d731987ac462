// The ServoLoop class as Python sees it.

#include "Bindings.h"

namespace Orvex::HardwareAPI::Python {

void bind_servo_loop(pybind11::module_&) {}

}  // namespace Orvex::HardwareAPI::Python
