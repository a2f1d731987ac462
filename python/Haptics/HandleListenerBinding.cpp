// The HandleListener class as Python sees it, and its orientation helper.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <memory>

#include "Bindings.h"
#include "Conventions.h"
#include "CycleDicts.h"
#include "ExitSafeHandleListener.h"
#include "HandleListenerCalls.h"
#include "HandleMessageDicts.h"
#include "RecordingCalls.h"
#include "ShapeArguments.h"

namespace Orvex::HardwareAPI::Python {

void bind_handle_listener(py::module_& module) {
  using Listener = ExitSafeHandleListener;
  py::class_<Listener>(module, "HandleListener",
                       "Receives every message of a handle on a native thread of its own.")
      .def(py::init(&make_handle_listener), keeps_stream_alive(), py::arg("stream"),
           py::arg("queue_capacity") = Listener::default_queue_capacity, py::kw_only(),
           py::arg("reconnect") = false, py::arg("give_up_s") = py::none())
      .def("start", &start_listener,
           "Start receiving; RuntimeError when a servo loop or another listener runs on the "
           "stream.")
      .def("stop", [](Listener& listener) { unlocked([&] { listener.stop(); }); },
           "Stop receiving and wait for the thread to end.")
      .def("__enter__",
           [](py::handle self) {
             start_listener(self);
             return py::reinterpret_borrow<py::object>(self);
           })
      .def("__exit__",
           [](Listener& listener, py::handle, py::handle, py::handle) {
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
          "to the first message received after it")
      .def("link_orientation",
           [](Listener& listener, std::shared_ptr<Haptics::Shape> shape, py::handle offset) {
             if (!shape) throw py::type_error("shape must be a Shape, not None");
             const Haptics::Quaternion turn = quaternion_argument(offset, "offset");
             const double length = std::sqrt(turn[0] * turn[0] + turn[1] * turn[1] +
                                             turn[2] * turn[2] + turn[3] * turn[3]);
             if (!std::isnormal(length)) throw py::value_error("offset must not be all zero");
             unlocked([&] { listener.link_orientation(std::move(shape), turn); });
           },
           py::arg("shape"), py::arg("offset") = Haptics::Quaternion{1, 0, 0, 0},
           "From each status message on, the listener's thread turns shape to offset * the "
           "message's quaternion (w, x, y, z), with no Python in between")
      .def("unlink_orientation",
           [](Listener& listener) { unlocked([&] { listener.unlink_orientation(); }); },
           "Stop turning the linked shape; returns once the thread no longer touches it")
      .def_property_readonly("orientation_linked", &Listener::orientation_linked,
                             "The shape the handle turns, or None");

  module.def("roll_pitch_yaw", &roll_pitch_yaw_degrees,
             "Roll, pitch and yaw in degrees (aerospace Z-Y-X) of a status dict's quaternion or "
             "of four floats w, x, y, z.",
             py::arg("status_or_quaternion"));
}

}  // namespace Orvex::HardwareAPI::Python
