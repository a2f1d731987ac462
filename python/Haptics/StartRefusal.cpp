#include "StartRefusal.h"

#include <pybind11/eval.h>

#include <cstring>

#include "Haptics/Guardian.h"
#include "Haptics/PortLock.h"

namespace Orvex::HardwareAPI::Python {

namespace py = pybind11;
using Haptics::StartResult;

namespace {

// Its text is the refusal itself, as for every other refused start; errno, strerror and
// filename say the rest.
constexpr const char* port_error_source = R"(
class PortError(OSError, RuntimeError):
    """A serial port that would not open: errno, strerror and filename as for any OSError."""

    def __str__(self):
        return str(self.args[0]) if self.args else ""
)";

std::string port_lock_refusal(const IO::SerialStream& stream) {
  std::string text = "another servo loop or handle listener drives " + stream.path();
  const IO::serialib* port = stream.port();
  if (const pid_t holder = port ? Haptics::PortLock::holder(port->fd) : 0)
    text += " (process " + std::to_string(holder) + ")";
  return text;
}

}  // namespace

void bind_start_errors(py::module_& module) {
  py::dict scope;
  scope["__builtins__"] = py::module_::import("builtins");
  scope["__name__"] = module.attr("__name__");
  py::exec(port_error_source, scope);
  module.attr("PortError") = scope["PortError"];
}

std::string start_refusal(StartResult result, const IO::SerialStream& stream, const char* owner) {
  switch (result) {
    case StartResult::started: return {};
    case StartResult::not_open:
      return "cannot open " + stream.path() + ": " + std::strerror(stream.open_error());
    case StartResult::invalid_settings: return std::string("the ") + owner + "'s settings cannot run";
    case StartResult::already_running: return std::string("the ") + owner + " is running already";
    case StartResult::stream_claimed: return "another loop or listener runs on this stream";
    case StartResult::not_a_corvane:
      return "no Corvane answered the wake-up (a device-information reply with model 4)";
    case StartResult::thread_failed:
      return std::string("the ") + owner + " thread could not be started";
    case StartResult::effect_hung:
      return "an effect of this loop never returned: the loop and its stream cannot run again";
    case StartResult::port_locked: return port_lock_refusal(stream);
    case StartResult::no_guardian:
      return "the guardian could not be started: " + Haptics::Guardian::problem() +
             " (guardian=False runs the loop without one)";
  }
  return std::string("the ") + owner + " could not start";
}

void raise_start_refusal(StartResult result, const std::string& refusal,
                         const IO::SerialStream& stream) {
  if (result == StartResult::invalid_settings) throw py::value_error(refusal);
  if (result != StartResult::not_open) throw std::runtime_error(refusal);
  const py::object type = py::module_::import("OrvexHaptics").attr("PortError");
  const int error = stream.open_error();
  py::object raised = type(refusal);
  raised.attr("errno") = error;
  raised.attr("strerror") = std::strerror(error);
  raised.attr("filename") = stream.path();
  PyErr_SetObject(type.ptr(), raised.ptr());
  throw py::error_already_set();
}

}  // namespace Orvex::HardwareAPI::Python
