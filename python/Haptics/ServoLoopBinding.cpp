// The ServoLoop class as Python sees it, with its effects and its trace.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cctype>
#include <cmath>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Bindings.h"
#include "Conventions.h"
#include "CycleDicts.h"
#include "DeviceInfoDict.h"
#include "EffectBindings.h"
#include "Haptics/Guardian.h"
#include "Haptics/ServoLoop.h"
#include "IO/SerialStream.h"
#include "RecordingCalls.h"
#include "StartRefusal.h"
#include "StopAtExit.h"
#include "Trace.h"
#include "VectorArgument.h"

namespace Orvex::HardwareAPI::Python {

namespace {

using Haptics::Effect;
using Haptics::ServoLoop;
using Haptics::ServoSettings;
using Haptics::StartResult;
using Haptics::StopReason;

// The loop and what Python needs beside it: a loop that is running at interpreter exit is
// stopped then, and one that is collected stops first.
struct PythonServoLoop {
  PythonServoLoop(IO::SerialStream* stream, const ServoSettings& settings)
      : stream(stream), loop(stream, settings) {}
  // Stops with the interpreter lock held: the loop thread never takes it, and a daemon thread
  // collecting the loop while the interpreter finalises would be ended by Python when it took
  // the lock back, an end that cannot pass through a destructor.
  ~PythonServoLoop() {
    forget_at_exit(this);
    loop.stop();
  }

  IO::SerialStream* stream;
  ServoLoop loop;
  bool woken = false;
  bool warn_without_realtime = false;
  std::map<std::string, int> added_of_kind;  // for the names of effects added without one
};

// realtime: None asks for the real-time class and runs on silently without it; True asks and
// warns when it is refused; False does not ask.
std::unique_ptr<PythonServoLoop> servo_loop(IO::SerialStream* stream, double rate_hz,
                                            double max_force, double watchdog_s,
                                            std::int64_t trace_capacity,
                                            std::optional<bool> realtime, double ramp_s,
                                            std::optional<double> max_force_step,
                                            std::optional<double> max_speed,
                                            double lost_after_s, bool reconnect,
                                            std::optional<double> give_up_s,
                                            bool passivity, bool guardian) {
  if (trace_capacity < 0) throw py::value_error("trace_capacity must not be negative");
  ServoSettings settings;
  settings.rate_hz = rate_hz;
  settings.max_force = max_force;
  settings.watchdog_s = watchdog_s;
  settings.trace_capacity = static_cast<std::size_t>(trace_capacity);
  settings.realtime = realtime.value_or(true);
  settings.ramp_s = ramp_s;
  settings.max_force_step = max_force_step;
  settings.max_speed = max_speed;
  settings.lost_after_s = lost_after_s;
  settings.reconnect = reconnect;
  settings.give_up_s = give_up_s;
  settings.passivity = passivity;
  settings.guardian = guardian;
  if (const char* problem = settings.problem()) throw py::value_error(problem);
  auto loop = std::make_unique<PythonServoLoop>(required_stream(stream, "ServoLoop"), settings);
  loop->warn_without_realtime = realtime.value_or(false);
  return loop;
}

// self: the Python loop, taken as a handle: an owning argument would be released, without the
// interpreter lock, by the unwind that ends a daemon thread during finalisation.
void start(py::handle self) {
  auto& loop = self.cast<PythonServoLoop&>();
  // Refused before the interpreter lock goes: once the exit hook ran, a daemon thread that let
  // it go is ended by Python as it takes it back, an end that cannot pass through this call.
  if (!BeforeExit()) throw std::runtime_error(exiting_refusal);
  // The refusal is worded on this thread: the guardian's problem is this thread's.
  StartResult result = StartResult::started;
  std::string refused;
  unlocked([&] {
    BeforeExit gate;
    if (!gate) {
      refused = exiting_refusal;
      return;
    }
    result = loop.loop.start();
    loop.woken = loop.woken || result == StartResult::started;
    if (result == StartResult::started)
      stop_at_exit(self, &loop, [](void* owner) { static_cast<PythonServoLoop*>(owner)->loop.stop(); });
    else
      refused = start_refusal(result, *loop.stream, "loop");
  });
  if (result != StartResult::started) raise_start_refusal(result, refused, *loop.stream);
  if (!refused.empty()) throw std::runtime_error(refused);
  if (loop.warn_without_realtime && !loop.loop.stats().realtime &&
      PyErr_WarnEx(PyExc_RuntimeWarning,
                   "the real-time class was refused: the loop runs in the normal class", 1) < 0)
    throw py::error_already_set();
}

void stop(PythonServoLoop& self) {
  if (!BeforeExit()) {
    // The exit hook stopped the loop already; the lock is kept (see start()).
    forget_at_exit(&self);
    self.loop.stop();
    return;
  }
  unlocked([&] {
    // Exit waits for this stop: the zero goes out before the process can end.
    BeforeExit gate;
    forget_at_exit(&self);
    self.loop.stop();
  });
}

py::object info(const PythonServoLoop& self) {
  if (!self.woken) return py::none();
  return device_info_dict(self.loop.info());
}

// A loop that ended by itself commands nothing: what the application asks of it then is an
// error, not a silent success.
void require_no_fault(const PythonServoLoop& self) {
  const StopReason fault = self.loop.fault();
  if (fault != StopReason::none)
    throw std::runtime_error(std::string("the loop stopped: ") + Haptics::stop_reason_text(fault));
}

void set_force(PythonServoLoop& self, py::handle force) {
  const Haptics::Vector3d wanted = vector_argument(force, "force");
  require_no_fault(self);
  require(self.loop.set_force(wanted), "force needs three finite numbers");
}

void feed(PythonServoLoop& self) {
  require_no_fault(self);
  self.loop.feed();
}

// An effect added without a name is named by its kind and how many of that kind this loop was
// given before it: "spring0", "constantforce1".
void add(PythonServoLoop& self, py::handle object, std::optional<std::string> name) {
  const auto effect = object.is_none() ? nullptr : object.cast<std::shared_ptr<Effect>>();
  require_no_fault(self);
  std::string kind;
  if (!name && effect) {
    kind = py::str(object.get_type().attr("__name__")).cast<std::string>();
    for (char& c : kind) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    name = kind + std::to_string(self.added_of_kind[kind]);
  }
  switch (self.loop.add(effect, name.value_or(""))) {
    case Haptics::AddResult::added:
      if (!kind.empty()) ++self.added_of_kind[kind];
      return;
    case Haptics::AddResult::null: throw py::type_error("effect must be an Effect, not None");
    case Haptics::AddResult::duplicate: throw py::value_error("the effect is in the loop already");
    case Haptics::AddResult::held_elsewhere:
      throw py::value_error("the effect keeps state of its own and another loop renders it");
    case Haptics::AddResult::full:
      break;
  }
  throw std::runtime_error("a loop renders at most " + std::to_string(ServoLoop::max_effects) +
                           " effects");
}

void remove(PythonServoLoop& self, const Effect& effect) {
  require_no_fault(self);
  if (!self.loop.remove(&effect)) throw py::value_error("the effect is not in the loop");
}

void clear(PythonServoLoop& self) {
  require_no_fault(self);
  self.loop.clear();
}

py::object state(const PythonServoLoop& self) {
  const std::optional<Haptics::ServoState> state = self.loop.state();
  if (!state) return py::none();
  return cycle_dict(*state);
}

void mark(PythonServoLoop& self, const std::string& label, const py::kwargs& fields) {
  const std::string json = fields_json(fields);
  unlocked([&] { self.loop.mark(label, json); });
}

void record(PythonServoLoop& self, py::handle path, bool effects) {
  const std::string name = record_path(path);
  Haptics::RecordOptions options;
  options.effects = effects;
  raise_unless_recording(unlocked([&] { return self.loop.record(name, options); }), path);
}

// since is a cycle number as a trace row holds it (a float) or as an int; -1 and None ask for all.
Trace trace(const PythonServoLoop& self, std::optional<double> since) {
  if (since && !(*since >= -1 && *since < 9007199254740992.0 && std::floor(*since) == *since))
    throw py::value_error("since must be a cycle number (or -1, or None)");
  std::optional<std::uint64_t> after;
  if (since && *since >= 0) after = static_cast<std::uint64_t>(*since);
  Haptics::TraceCopy copy = unlocked([&] { return self.loop.trace(after); });
  Trace trace;
  trace.rows = std::move(copy.rows);
  trace.overwritten = copy.overwritten;
  trace.marks = mark_dicts(copy.marks, "cycle");
  return trace;
}

py::object enter(py::handle self) {
  start(self);
  return py::reinterpret_borrow<py::object>(self);
}

}  // namespace

const ServoLoop& servo_loop_in(py::handle object, const char* name) {
  if (!py::isinstance<PythonServoLoop>(object))
    throw py::type_error(std::string(name) + " must be a ServoLoop");
  return object.cast<const PythonServoLoop&>().loop;
}

void bind_servo_loop(py::module_& module) {
  bind_effects(module);
  bind_trace(module);

  const ServoSettings defaults;
  module.attr("SERVO_DEFAULTS") = servo_defaults();
  py::class_<PythonServoLoop>(
      module, "ServoLoop",
      "A fixed-rate force loop for one Corvane on a native thread of its own")
      .def(py::init(&servo_loop), keeps_stream_alive(), py::arg("stream"),
           py::arg("rate_hz") = defaults.rate_hz, py::kw_only(),
           py::arg("max_force") = defaults.max_force, py::arg("watchdog_s") = defaults.watchdog_s,
           py::arg("trace_capacity") = defaults.trace_capacity,
           py::arg("realtime") = py::none(), py::arg("ramp_s") = defaults.ramp_s,
           py::arg("max_force_step") = defaults.max_force_step,
           py::arg("max_speed") = defaults.max_speed,
           py::arg("lost_after_s") = defaults.lost_after_s,
           py::arg("reconnect") = defaults.reconnect, py::arg("give_up_s") = defaults.give_up_s,
           py::arg("passivity") = defaults.passivity, py::arg("guardian") = defaults.guardian)
      .def("start", &start, "Wake the Corvane, then start the loop thread")
      .def("stop", &stop, "Command zero force and end the loop thread; idempotent")
      .def("__enter__", &enter)
      // The exception's type, value and traceback as handles (see start()).
      .def("__exit__", [](PythonServoLoop& self, py::handle, py::handle, py::handle) { stop(self); },
           py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"))
      .def_property_readonly("running", [](const PythonServoLoop& self) {
        return self.loop.running();
      })
      .def_property_readonly("info", &info,
                             "The device information of the last start, as device_wakeup_dict "
                             "gives it; None before")
      .def_property(
          "force", [](const PythonServoLoop& self) { return self.loop.force(); }, &set_force,
          "The application's force, added to the effects; setting it feeds the watchdog")
      .def("feed", &feed, "Feed the watchdog")
      .def("add", &add, py::arg("effect"), py::kw_only(), py::arg("name") = py::none(),
           "Render an effect from the next cycle on; name heads its columns in a recording of "
           "effects (its kind and number by default: 'spring0')")
      .def("mark", &mark, py::arg("label"),
           "Put a timestamped event, with its fields, into the trace and the running recording, "
           "tied to the first cycle published after it")
      .def("remove", &remove, py::arg("effect"), "Stop rendering an effect")
      .def("clear", &clear, "Remove every effect")
      .def("state", &state, "The last cycle, or None before the first")
      .def("stats", [](const PythonServoLoop& self) { return stats_dict(self.loop.stats()); },
           "The loop's measurements since its start")
      .def("trace", &trace, py::arg("since") = py::none(),
           "A copy of this run's cycles after cycle `since` (all the ring holds when None), "
           "oldest first, with the count of those the ring had overwritten")
      .def("record", &record, py::arg("path"), py::kw_only(), py::arg("effects") = false,
           "Write every cycle to path (.csv or .npy), its column names and marks to path + "
           "'.json', from a thread of its own until stop_recording() or stop(); effects adds "
           "each effect's force before the loop's limits")
      .def("stop_recording",
           [](PythonServoLoop& self) { return stop_recording_of(self.loop); },
           stop_recording_doc);
}

}  // namespace Orvex::HardwareAPI::Python
