// The Corvane as Python sees it: the exchanges first, then the older single-message methods.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "Bindings.h"
#include "Conventions.h"
#include "DeviceInfoDict.h"
#include "Devices/Corvane.h"
#include "IO/SerialStream.h"
#include "UUID.h"

namespace Orvex::HardwareAPI::Python {

namespace {

using Devices::Corvane;
using Devices::DeviceInfo;
using Devices::Vector3;
using Floats = std::vector<float>;

std::unique_ptr<Corvane> corvane_on(IO::SerialStream* stream) {
  return std::make_unique<Corvane>(required_stream(stream, "Corvane"));
}

py::tuple device_wakeup(Corvane& corvane) {
  const DeviceInfo info = unlocked([&] { return corvane.device_wakeup(); });
  return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version,
                        info.firmware_version, info.device_id_ext.bytes);
}

py::dict device_wakeup_dict(Corvane& corvane) {
  return device_info_dict(unlocked([&] { return corvane.device_wakeup(); }));
}

// The four exchanges of a command vector for a state reply, as methods.
template <class State>
auto state_exchange(State (Corvane::*exchange)(const Vector3&), const char* argument) {
  return [exchange, argument](Corvane& corvane, const Floats& request) {
    const Vector3 command = three_values(request, argument);
    const State state = unlocked([&] { return (corvane.*exchange)(command); });
    const auto& [first, second] = state;
    return float_list_pair(first, second);
  };
}

auto deprecated_send(void (Corvane::*send)(const Vector3&), const char* argument,
                     const char* warning) {
  return [send, argument, warning](Corvane& corvane, const Floats& values) {
    const Vector3 command = three_values(values, argument);
    deprecated_exchange(warning, [&] { (corvane.*send)(command); });
  };
}

// The older receive methods start from the caller's values and return them where no valid reply
// replaced them.
auto deprecated_receive_pair(void (Corvane::*receive)(Vector3&, Vector3&),
                             const char* first_argument, const char* second_argument,
                             const char* warning) {
  return [=](Corvane& corvane, Floats first, Floats second) {
    Vector3 first_head = three_values(first, first_argument);
    Vector3 second_head = three_values(second, second_argument);
    deprecated_exchange(warning, [&] { (corvane.*receive)(first_head, second_head); });
    replace_first_three(first, first_head);
    replace_first_three(second, second_head);
    return float_list_pair(first, second);
  };
}

py::tuple receive_device_info(Corvane& corvane, std::uint16_t device_id,
                              std::uint8_t device_model_num, std::uint8_t hardware_version,
                              std::uint8_t firmware_version, const UUID& uuid) {
  DeviceInfo info{device_id, device_model_num, hardware_version, firmware_version, uuid};
  unlocked([&] { corvane.ReceiveDeviceInfo(info); });
  return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version,
                        info.firmware_version, UUID(info.device_id_ext));
}

void send_angle(Corvane& corvane, const Floats& angle) {
  const Vector3 command = three_values(angle, "angle");
  unlocked([&] { corvane.SendAngle(command); });
}

void request_current(Corvane& corvane) {
  unlocked([&] { corvane.RequestCurrent(); });
}

py::list receive_current(Corvane& corvane, Floats current) {
  Vector3 head = three_values(current, "current");
  unlocked([&] { corvane.ReceiveCurrent(head); });
  replace_first_three(current, head);
  return float_list(current);
}

constexpr const char* send_force_warning =
    "SendForce is deprecated, use end_effector_force instead";
constexpr const char* send_force_doc = "[Deprecated] Send force to the device";

}  // namespace

void bind_corvane(py::module_& module) {
  const Floats zeros{0.0f, 0.0f, 0.0f};

  py::class_<Corvane>(module, "Corvane")
      .def(py::init(&corvane_on), keeps_stream_alive())
      .def("device_wakeup", &device_wakeup,
           "Wakeup the device and return the device info as a tuple.")
      .def("device_wakeup_dict", &device_wakeup_dict,
           "Wakeup the device and return the device info as a dict.")
      .def("end_effector_force",
           state_exchange(&Corvane::end_effector_force, "force request vector"),
           py::arg("force request vector") = zeros,
           "Send forces to the device and receive device states")
      .def("joint_torques", state_exchange(&Corvane::joint_torques, "joint torque request vector"),
           py::arg("joint torque request vector") = zeros,
           "Send joint torques to the device and receive the joint states")
      .def("end_effector_position",
           state_exchange(&Corvane::end_effector_position, "position request vector"),
           py::arg("position request vector") = zeros,
           "Send end-effector position and receive device states")
      .def("joint_angles", state_exchange(&Corvane::joint_angles, "joint angle request vector"),
           py::arg("joint angle request vector") = zeros,
           "Send joint angles to the device and receive the joint states")
      .def(
          "SendDeviceWakeup",
          [](Corvane& c) {
            deprecated_exchange("SendDeviceWakeup is deprecated, use device_wakeup instead",
                                [&] { c.SendDeviceWakeup(); });
          },
          "[DEPRECATED] Send a device wakeup command")
      .def("ReceiveDeviceInfo", &receive_device_info, py::arg("device_id") = 0,
           py::arg("device_model_num") = 0, py::arg("hardware_version") = 0,
           py::arg("firmware_version") = 0, py::arg("UUID") = UUID{},
           "Receive device info and return a tuple")
      .def("SendForce", deprecated_send(&Corvane::SendForce, "force", send_force_warning),
           py::arg("force") = zeros, send_force_doc)
      .def(
          "SendForce",
          [](Corvane& c, float x, float y, float z) {
            deprecated_exchange(send_force_warning, [&] { c.SendForce({x, y, z}); });
          },
          py::arg("ForceX") = 0, py::arg("ForceY") = 0, py::arg("ForceZ") = 0, send_force_doc)
      .def("ReceiveState",
           deprecated_receive_pair(&Corvane::ReceiveState, "position", "velocity",
                                   "ReceiveState is deprecated, use end_effector instead"),
           py::arg("position") = zeros, py::arg("velocity") = zeros,
           "[Deprecated] receive state and return position and velocity")
      .def("ReceiveJointState",
           deprecated_receive_pair(&Corvane::ReceiveJointState, "joint_position", "joint_velocity",
                                   "ReceiveJointState is deprecated, use joint_torques instead"),
           py::arg("joint_position") = zeros, py::arg("joint_velocity") = zeros,
           "[Deprecated] receive joint state and return position and velocity in the joint "
           "reference frame")
      .def("SendJointTorques",
           deprecated_send(&Corvane::SendJointTorques, "joint_torque",
                           "SendJointTorques is deprecated, use joint_torques instead"),
           py::arg("joint_torque") = zeros, "[Deprecated] send joint torque")
      .def("SendAngle", &send_angle, py::arg("angle") = zeros, "Send angles to the device")
      .def("RequestCurrent", &request_current, "request current")
      .def("ReceiveCurrent", &receive_current, py::arg("current") = zeros,
           "receive current and return current")
      .def("SendPosition",
           deprecated_send(&Corvane::SendPosition, "position",
                           "SendPosition is deprecated, use end_effector_position instead"),
           py::arg("position") = zeros, "[Deprecated] Send Position to the device");
}

}  // namespace Orvex::HardwareAPI::Python
