// The Python class Handle: the methods in the order Python lists them. A Python subclass gets a
// TrampolineHandle, whose callbacks reach the subclass's overrides.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>

#include "Bindings.h"
#include "Conventions.h"
#include "Devices/Handle.h"
#include "IO/SerialStream.h"
#include "TrampolineHandle.h"

namespace Orvex::HardwareAPI::Python {

namespace {

using Devices::Handle;
using Devices::HandleStatusMessageRecord;

std::unique_ptr<Handle> plain_handle(IO::SerialStream* stream) {
  return std::make_unique<Handle>(required_stream(stream, "Handle"));
}

std::unique_ptr<TrampolineHandle> subclassed_handle(IO::SerialStream* stream) {
  return std::make_unique<TrampolineHandle>(required_stream(stream, "Handle"));
}

// From Python the command carries one byte of user data; a longer count would send whatever
// lies past it.
void send_handle_state(Handle& handle, std::uint16_t device_id, std::uint8_t data_length,
                       OptionalByte user_data) {
  if (data_length > 1) {
    throw py::value_error(
        "SendHandleState carries at most one byte of user data: data_length must be 0 or 1");
  }
  if (data_length == 1 && !user_data.value)
    throw py::value_error("SendHandleState with data_length 1 needs user_data");
  const std::uint8_t byte = user_data.value.value_or(0);
  unlocked([&] { handle.SendHandleState(device_id, data_length, &byte); });
}

void send_device_wakeup(Handle& handle) {
  unlocked([&] { handle.SendDeviceWakeup(); });
}

void request_status(Handle& handle) {
  unlocked([&] { handle.RequestStatus(); });
}

// A subclass's callbacks take the lock back for themselves, each for its own call.
std::int32_t receive(Handle& handle) {
  return unlocked([&] { return handle.Receive(); });
}

// From Python the quaternion is one float and the user data one byte; the callback reads four
// components and user_data_length bytes, so the rest of both reads as zeros.
void call_status_message(Handle& handle, std::uint16_t device_id, float quaternion,
                         std::uint8_t error_flag, std::uint8_t hall_effect_sensor_level,
                         std::uint8_t user_data_length, std::uint8_t user_data) {
  const float components[4] = {quaternion, 0.0f, 0.0f, 0.0f};
  const std::uint8_t bytes[HandleStatusMessageRecord::user_data_capacity] = {user_data};
  handle.OnReceiveHandleStatusMessage(device_id, components, error_flag, hall_effect_sensor_level,
                                      user_data_length, bytes);
}

std::int32_t receive_obsolete(Handle& handle, std::uint8_t /*obsolete*/) {
  return deprecated_exchange("Receive with one argument is deprecated",
                             [&] { return handle.Receive(); });
}

}  // namespace

void bind_handle(py::module_& module) {
  py::class_<Handle, TrampolineHandle>(module, "Handle")
      .def(py::init(&plain_handle, &subclassed_handle), keeps_stream_alive())
      .def("SendDeviceWakeup", &send_device_wakeup)
      .def("SendHandleState", &send_handle_state, "send handle state", py::arg("device_id") = 0,
           py::arg("data_length") = 0, py::arg("user_data") = py::none())
      .def("RequestStatus", &request_status, "request handle status")
      .def("OnReceiveHandleInfo", &Handle::OnReceiveHandleInfo, "OnReceiveHandleInfo",
           py::arg("tool_data_remaining"), py::arg("device_id"), py::arg("device_model_number"),
           py::arg("hardware_version"), py::arg("firmware_version"))
      .def("OnReceiveHandleStatusMessage", &call_status_message, "OnReceiveHandleStatusMessage",
           py::arg("device_id"), py::arg("quaternion"), py::arg("error_flag"),
           py::arg("hall_effect_sensor_level"), py::arg("user_data_length"), py::arg("user_data"))
      .def("OnReceiveHandleErrorResponse", &Handle::OnReceiveHandleErrorResponse,
           "OnReceiveHandleErrorResponse", py::arg("device_id"), py::arg("error_code"))
      .def("Receive", &receive, "Receive data from the handle")
      .def("Receive", &receive_obsolete, "[DEPRECATED] Receive current and return current",
           py::arg("obsolete"));
}

}  // namespace Orvex::HardwareAPI::Python
