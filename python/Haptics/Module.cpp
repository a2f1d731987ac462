// The haptics module body: native threads that own a device, registered in the order Python sees
// them.

#include <pybind11/pybind11.h>

#include "Bindings.h"
#include "Haptics/Clock.h"
#include "SceneBindings.h"
#include "StartRefusal.h"
#include "StopAtExit.h"
#include "SubmodulePath.h"

namespace py = pybind11;
using namespace Orvex::HardwareAPI;

PYBIND11_MODULE(OrvexHaptics, m) {
  m.attr("__doc__") = "Native servo loops and handle listeners for Orvex devices";

  // The streams this module takes are OrvexHardwareAPI's: importing it registers their type.
  py::module_::import("OrvexHardwareAPI");

  Python::bind_start_errors(m);
  Python::bind_servo_loop(m);
  Python::bind_laws(m);
  Python::bind_couplings(m);
  Python::bind_scene(m);
  Python::bind_handle_listener(m);
#ifdef ORVEX_WITH_DDS
  Python::bind_network(m);
#endif
  Python::add_submodule_path(m);

  m.def("now", &Haptics::now,
        "Seconds on the layer's one clock (the system's monotonic clock): the clock of trace "
        "and recorded times, listener messages, coupling updates and a loop's start");
  // Read back in Python, from the package folder that add_submodule_path names.
  m.def(
      "load",
      [](const py::object& path, bool frame) {
        return py::module_::import("OrvexHaptics.recordings").attr("load")(path, frame);
      },
      py::arg("path"), py::arg("frame") = false,
      "A recording's rows as a numpy structured array of its named columns (old recordings "
      "too); a pandas DataFrame with frame=True");
  m.def(
      "describe",
      [](const py::object& path) {
        return py::module_::import("OrvexHaptics.recordings").attr("describe")(path);
      },
      py::arg("path"),
      "A recording's sidecar: its columns, clock, wall-clock anchor and marks; None for an old "
      "recording without one");

  py::module_::import("atexit").attr("register")(py::cpp_function(&Python::stop_all_at_exit));
}
