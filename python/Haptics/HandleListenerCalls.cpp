#include "HandleListenerCalls.h"

#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "Conventions.h"
#include "HandleMessageDicts.h"
#include "StartRefusal.h"
#include "Haptics/HandleOrientation.h"

namespace Orvex::HardwareAPI::Python {

namespace {

using Haptics::HandleMessage;

constexpr std::size_t longest_user_data = Devices::HandleStatusMessageRecord::user_data_capacity;
// A long wait is cut into slices, between which the interpreter handles signals (Ctrl-C).
constexpr double wait_slice_s = 0.1;

void queued(bool accepted) {
  if (!accepted) throw std::runtime_error("the listener's command queue is full");
}

// The bytes of a bytes-like object, contiguous, held for the call.
class ByteView {
 public:
  explicit ByteView(const py::buffer& object) {
    if (PyObject_GetBuffer(object.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
  }
  ~ByteView() { PyBuffer_Release(&view); }
  ByteView(const ByteView&) = delete;
  ByteView& operator=(const ByteView&) = delete;

  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view.len); }

 private:
  Py_buffer view{};
};

// Waits up to the timeout for a message, without the lock; true when one is queued.
bool wait_for_message(ExitSafeHandleListener& listener, double timeout) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  for (;;) {
    const double left =
        std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    const auto slice = std::chrono::duration<double>(std::min(left, wait_slice_s));
    const bool arrived = unlocked([&] {
      return listener.wait_for_message(
          std::chrono::duration_cast<std::chrono::nanoseconds>(slice));
    });
    if (arrived || !listener.running()) return arrived;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

}  // namespace

std::unique_ptr<ExitSafeHandleListener> make_handle_listener(IO::SerialStream* stream,
                                                              std::int64_t queue_capacity,
                                                              bool reconnect,
                                                              std::optional<double> give_up_s) {
  required_stream(stream, "HandleListener");
  if (give_up_s && !(*give_up_s > 0))
    throw py::value_error("give_up_s must be positive, or None to wait until stop()");
  if (queue_capacity < 0 || ExitSafeHandleListener::capacity_problem(
                                 static_cast<std::size_t>(queue_capacity)))
    throw py::value_error("queue_capacity must be at least 1, got " +
                          std::to_string(queue_capacity));
  return std::make_unique<ExitSafeHandleListener>(
      stream, static_cast<std::size_t>(queue_capacity), reconnect, give_up_s.value_or(0));
}

void start_listener(py::handle self) {
  auto& listener = self.cast<ExitSafeHandleListener&>();
  const Haptics::StartResult result = listener.start(self);
  if (result == Haptics::StartResult::started) return;
  raise_start_refusal(result, start_refusal(result, listener.stream(), "listener"),
                      listener.stream());
}

void queue_wakeup(ExitSafeHandleListener& listener) { queued(listener.wakeup()); }

void queue_status_request(ExitSafeHandleListener& listener) {
  queued(listener.request_status());
}

void queue_state(ExitSafeHandleListener& listener, const py::int_& device_id,
                 const py::buffer& user_data) {
  int overflow = 0;
  const long long id = PyLong_AsLongLongAndOverflow(device_id.ptr(), &overflow);
  if (overflow != 0 || id < 0 || id > 0xFFFF)
    throw py::value_error("device_id must be in 0..65535, got " +
                          py::repr(device_id).cast<std::string>());
  const ByteView bytes(user_data);
  if (bytes.size() > longest_user_data)
    throw py::value_error("user_data holds at most 255 bytes, got " +
                          std::to_string(bytes.size()));
  queued(listener.send_state(static_cast<std::uint16_t>(id),
                             static_cast<std::uint8_t>(bytes.size()), bytes.data()));
}

py::object latest_status(const ExitSafeHandleListener& listener) {
  HandleMessage message;
  if (!listener.latest(message)) return py::none();
  return status_dict(message);
}

py::object latest_info(const ExitSafeHandleListener& listener) {
  HandleMessage message;
  if (!listener.info(message)) return py::none();
  return info_dict(message);
}

py::list take_messages(ExitSafeHandleListener& listener, std::optional<std::int64_t> max_count,
                       double timeout) {
  if (max_count && *max_count < 0)
    throw py::value_error("max_count must not be negative, got " + std::to_string(*max_count));
  if (!(timeout >= 0.0))  // also refuses NaN
    throw py::value_error("timeout must not be negative");
  // Without a limit, one queue's worth: a handle streaming faster than the caller takes could
  // otherwise keep the call going for ever.
  const std::size_t limit = max_count ? static_cast<std::size_t>(*max_count)
                                      : listener.queue_capacity();
  py::list messages;
  if (limit == 0) return messages;
  if (timeout > 0.0) wait_for_message(listener, timeout);
  HandleMessage message;
  while (static_cast<std::size_t>(py::len(messages)) < limit && listener.take(message))
    messages.append(queued_message_dict(message));
  return messages;
}

py::tuple roll_pitch_yaw_degrees(const py::object& status_or_quaternion) {
  const py::object quaternion = py::isinstance<py::dict>(status_or_quaternion)
                                    ? status_or_quaternion["quaternion"]
                                    : status_or_quaternion;
  const char* wanted = "status_or_quaternion must be a status dict or four numbers w, x, y, z";
  if (!PySequence_Check(quaternion.ptr()) || py::isinstance<py::str>(quaternion) ||
      py::isinstance<py::bytes>(quaternion))
    throw py::type_error(wanted);
  const auto components = py::reinterpret_borrow<py::sequence>(quaternion);
  if (components.size() != 4)
    throw py::value_error("status_or_quaternion has four components (w, x, y, z), got " +
                          std::to_string(components.size()));
  float wxyz[4];
  double squared = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const double component = PyFloat_AsDouble(py::object(components[i]).ptr());
    if (component == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      throw py::type_error(wanted);
    }
    wxyz[i] = static_cast<float>(component);
    squared += static_cast<double>(wxyz[i]) * wxyz[i];
  }
  // No rotation has a component that is not finite, nor the zero quaternion.
  if (!(std::isfinite(squared) && squared > 0))
    throw py::value_error("status_or_quaternion must be finite and not zero");
  const Haptics::RollPitchYaw angles = Haptics::roll_pitch_yaw(wxyz);
  return py::make_tuple(angles.roll, angles.pitch, angles.yaw);
}

}  // namespace Orvex::HardwareAPI::Python
