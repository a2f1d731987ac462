// The HandleListener class as Python sees it, and its orientation helper.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "Bindings.h"
#include "Conventions.h"
#include "CycleDicts.h"
#include "ExitSafeHandleListener.h"
#include "HandleListenerCalls.h"
#include "HandleMessageDicts.h"
#include "RecordingCalls.h"

namespace Orvex::HardwareAPI::Python {

void bind_handle_listener(py::module_& module) {
  using Listener = ExitSafeHandleListener;
  py::class_<Listener>(module, "HandleListener",
                       "Receives every message of a handle on a native thread of its own.")
      .def(py::init(&make_handle_listener), keeps_stream_alive(), py::arg("stream"),
           py::arg("queue_capacity") = Listener::default_queue_capacity, py::kw_only(),
           py::arg("reconnect") = false)
      .def("start", &start_listener,
           "Start receiving; RuntimeError when a servo loop or another listener runs on the "
           "stream.")
      .def("stop", &Listener::stop, "Stop receiving and wait for the thread to end.",
           without_gil())
      .def("__enter__",
           [](const py::object& self) {
             start_listener(self);
             return self;
           })
      .def("__exit__",
           [](Listener& listener, const py::object&, const py::object&, const py::object&) {
             unlocked([&] { listener.stop(); });
           },
           py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"))
      .def_property_readonly("running", &Listener::running, "Whether the thread runs.")
      .def("wakeup", &queue_wakeup, "Queue a wake-up command; the handle answers with its info.")
      .def("request_status", &queue_status_request, "Queue a status request.")
      .def("send_state", &queue_state,
           "Queue a handle-state command with up to 255 bytes of user data.",
           py::arg("device_id"), py::arg("user_data") = py::bytes())
      .def("latest", [](const Listener& listener) { return latest_status(listener); },
           "The latest status message as a dict, or None before the first.")
      .def("info", [](const Listener& listener) { return latest_info(listener); },
           "The latest information reply as a dict, or None before the first.")
      .def("messages", &take_messages,
           "Remove and return queued messages, oldest first, waiting up to timeout seconds for "
           "at least one.",
           py::arg("max_count") = py::none(), py::arg("timeout") = 0.0)
      .def("stats", [](const Listener& listener) { return stats_dict(listener.stats()); },
           "Counts of what the listener received, its status rate and why it stopped.")
      .def("record", &record_to<Listener>, py::arg("path"),
           "Write every message with its time to path (.csv or .npy) from a thread of its own "
           "until stop_recording() or stop()")
      .def("stop_recording", &stop_recording_of<Listener>, stop_recording_doc)
      .def(
          "mark",
          [](Listener& listener, const std::string& label, const py::kwargs& fields) {
            const std::string json = fields_json(fields);
            unlocked([&] { listener.mark(label, json); });
          },
          py::arg("label"),
          "Put a timestamped event, with its fields, into the running recording's sidecar, tied "
          "to the first message received after it");

  module.def("roll_pitch_yaw", &roll_pitch_yaw_degrees,
             "Roll, pitch and yaw in degrees (aerospace Z-Y-X) of a status dict's quaternion or "
             "of four floats w, x, y, z.",
             py::arg("status_or_quaternion"));
}

}  // namespace Orvex::HardwareAPI::Python
