// The haptics module body: native threads that own a device, registered in the order Python sees
// them.

#include <pybind11/pybind11.h>

#include "Bindings.h"
#include "SceneBindings.h"
#include "StopAtExit.h"
#include "SubmodulePath.h"

namespace py = pybind11;
using namespace Orvex::HardwareAPI;

PYBIND11_MODULE(OrvexHaptics, m) {
  m.attr("__doc__") = "Native servo loops and handle listeners for Orvex devices";

  // The streams this module takes are OrvexHardwareAPI's: importing it registers their type.
  py::module_::import("OrvexHardwareAPI");

  Python::bind_servo_loop(m);
  Python::bind_laws(m);
  Python::bind_couplings(m);
  Python::bind_scene(m);
  Python::bind_handle_listener(m);
#ifdef ORVEX_WITH_DDS
  Python::bind_network(m);
#endif
  Python::add_submodule_path(m);

  py::module_::import("atexit").attr("register")(py::cpp_function(&Python::stop_all_at_exit));
}
