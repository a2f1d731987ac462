// The ServoLoop class as Python sees it, with its effects and its trace.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Bindings.h"
#include "Conventions.h"
#include "DeviceInfoDict.h"
#include "EffectBindings.h"
#include "Haptics/ServoLoop.h"
#include "IO/SerialStream.h"
#include "RecordingCalls.h"
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
      : loop(stream, settings) {}
  ~PythonServoLoop() {
    forget_at_exit(this);
    py::gil_scoped_release released;
    loop.stop();
  }

  ServoLoop loop;
  bool woken = false;
};

std::unique_ptr<PythonServoLoop> servo_loop(IO::SerialStream* stream, double rate_hz,
                                            double max_force, double watchdog_s,
                                            std::int64_t trace_capacity, bool realtime,
                                            bool passivity) {
  if (trace_capacity < 0) throw py::value_error("trace_capacity must not be negative");
  ServoSettings settings;
  settings.rate_hz = rate_hz;
  settings.max_force = max_force;
  settings.watchdog_s = watchdog_s;
  settings.trace_capacity = static_cast<std::size_t>(trace_capacity);
  settings.realtime = realtime;
  settings.passivity = passivity;
  if (const char* problem = settings.problem()) throw py::value_error(problem);
  return std::make_unique<PythonServoLoop>(required_stream(stream, "ServoLoop"), settings);
}

const char* refusal(StartResult result) {
  switch (result) {
    case StartResult::started: return nullptr;
    case StartResult::invalid_settings: return "the loop's settings cannot run";
    case StartResult::already_running: return "the loop is running already";
    case StartResult::stream_claimed: return "another loop or listener runs on this stream";
    case StartResult::not_a_corvane:
      return "no Corvane answered the wake-up (a device-information reply with model 4)";
    case StartResult::thread_failed: return "the loop thread could not be started";
  }
  return "the loop could not start";
}

void start(PythonServoLoop& self) {
  const StartResult result = unlocked([&] { return self.loop.start(); });
  self.woken = self.woken || result == StartResult::started;
  if (const char* refused = refusal(result)) throw std::runtime_error(refused);
  stop_at_exit(&self, [](void* owner) { static_cast<PythonServoLoop*>(owner)->loop.stop(); });
}

void stop(PythonServoLoop& self) {
  forget_at_exit(&self);
  unlocked([&] { self.loop.stop(); });
}

py::object info(const PythonServoLoop& self) {
  if (!self.woken) return py::none();
  return device_info_dict(self.loop.info());
}

void set_force(PythonServoLoop& self, py::handle force) {
  require(self.loop.set_force(vector_argument(force, "force")),
          "force needs three finite numbers");
}

void add(PythonServoLoop& self, const std::shared_ptr<Effect>& effect) {
  switch (self.loop.add(effect)) {
    case Haptics::AddResult::added: return;
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
  if (!self.loop.remove(&effect)) throw py::value_error("the effect is not in the loop");
}

py::object state(const PythonServoLoop& self) {
  const std::optional<Haptics::ServoState> state = self.loop.state();
  if (!state) return py::none();
  py::dict result;
  result["time"] = state->time;
  result["cycle"] = state->cycle;
  result["position"] = state->position;
  result["velocity"] = state->velocity;
  result["force"] = state->force;
  result["proxy"] = state->proxy;
  return std::move(result);
}

py::object stop_reason(StopReason reason) {
  switch (reason) {
    case StopReason::stop: return py::str("stop");
    case StopReason::device_lost: return py::str("device lost");
    case StopReason::none: break;
  }
  return py::none();
}

py::dict stats(const PythonServoLoop& self) {
  const Haptics::ServoStats stats = self.loop.stats();
  py::dict result;
  result["cycles"] = stats.cycles;
  result["rate_hz"] = stats.rate_hz;
  result["missed"] = stats.missed;
  result["late_p50_us"] = stats.late_p50_us;
  result["late_p99_us"] = stats.late_p99_us;
  result["late_max_us"] = stats.late_max_us;
  result["exchange_p50_us"] = stats.exchange_p50_us;
  result["exchange_p99_us"] = stats.exchange_p99_us;
  result["exchange_max_us"] = stats.exchange_max_us;
  result["clamped"] = stats.clamped;
  result["non_finite"] = stats.non_finite;
  result["watchdog_trips"] = stats.watchdog_trips;
  result["realtime"] = stats.realtime;
  result["passivity_energy_j"] = stats.passivity_energy_j;
  result["passivity_cycles"] = stats.passivity_cycles;
  result["stop_reason"] = stop_reason(stats.stop_reason);
  result["exchange_budget_us"] = stats.exchange_budget_us;
  result["recorded"] = stats.recorded;
  result["record_lost"] = stats.record_lost;
  return result;
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
  return trace;
}


PythonServoLoop& enter(PythonServoLoop& self) {
  start(self);
  return self;
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

  py::class_<PythonServoLoop>(
      module, "ServoLoop",
      "A fixed-rate force loop for one Corvane on a native thread of its own")
      .def(py::init(&servo_loop), keeps_stream_alive(), py::arg("stream"),
           py::arg("rate_hz") = 1000.0, py::kw_only(), py::arg("max_force") = 10.0,
           py::arg("watchdog_s") = 0.1, py::arg("trace_capacity") = 0,
           py::arg("realtime") = false, py::arg("passivity") = false)
      .def("start", &start, "Wake the Corvane, then start the loop thread")
      .def("stop", &stop, "Command zero force and end the loop thread; idempotent")
      .def("__enter__", &enter, py::return_value_policy::reference)
      .def("__exit__", [](PythonServoLoop& self, const py::args&) { stop(self); })
      .def_property_readonly("running", [](const PythonServoLoop& self) {
        return self.loop.running();
      })
      .def_property_readonly("info", &info,
                             "The device information of the last start, as device_wakeup_dict "
                             "gives it; None before")
      .def_property(
          "force", [](const PythonServoLoop& self) { return self.loop.force(); }, &set_force,
          "The application's force, added to the effects; setting it feeds the watchdog")
      .def("feed", [](PythonServoLoop& self) { self.loop.feed(); }, "Feed the watchdog")
      .def("add", &add, py::arg("effect"), "Render an effect from the next cycle on")
      .def("remove", &remove, py::arg("effect"), "Stop rendering an effect")
      .def("clear", [](PythonServoLoop& self) { self.loop.clear(); }, "Remove every effect")
      .def("state", &state, "The last cycle, or None before the first")
      .def("stats", &stats, "The loop's measurements since its start")
      .def("trace", &trace, py::arg("since") = py::none(),
           "A copy of this run's cycles after cycle `since` (all the ring holds when None), "
           "oldest first, with the count of those the ring had overwritten")
      .def("record", [](PythonServoLoop& self, py::handle path) { record_to(self.loop, path); },
           py::arg("path"),
           "Write every cycle to path (.csv or .npy) from a thread of its own until "
           "stop_recording() or stop()")
      .def("stop_recording",
           [](PythonServoLoop& self) { return stop_recording_of(self.loop); },
           "End the recording: {'rows': written, 'lost': not written}; the last recording's "
           "when none runs, None before any");
}

}  // namespace Orvex::HardwareAPI::Python
