#include "Devices/Corvane.h"

#include <cstddef>

#include "CorvaneWire.h"
#include "LittleEndian.h"

namespace Orvex::HardwareAPI::Devices {

namespace {

namespace le = LittleEndian;

using namespace CorvaneWire;

void send_code(Device& device, std::uint8_t code) {
  device.tx_buffer[0] = code;
  device.WriteBytes(1);
}

void send_vector(Device& device, std::uint8_t code, const Vector3& values) {
  device.tx_buffer[0] = code;
  le::put_f32s(&device.tx_buffer[1], values);
  device.WriteBytes(1 + vector_body_size);
}

// True when a reply with the expected code and a complete body now sits in rx_buffer. A wrong
// code (0 when the header read failed) means the line is out of step: what follows is read and
// dropped, so the next reply starts clean. A short body is left as it came, with no such read.
bool receive_body(Device& device, std::uint8_t expected_code, std::size_t body_size) {
  if (device.ReadHeaderCode() != expected_code) {
    device.ReadBytes(Device::buffer_size);
    return false;
  }
  return device.ReadBytes(body_size) == static_cast<std::int32_t>(body_size);
}

void receive_vector_pair(Device& device, std::uint8_t code, Vector3& first, Vector3& second) {
  if (!receive_body(device, code, state_body_size)) return;
  le::get_f32s(&device.rx_buffer[0], first);
  le::get_f32s(&device.rx_buffer[vector_body_size], second);
}

}  // namespace

void Corvane::SendDeviceWakeup() {
  send_code(*this, wakeup_code);
}

void Corvane::ReceiveDeviceInfo(DeviceInfo& info) {
  if (!receive_body(*this, device_info_code, device_info_body_size)) return;
  decode_device_info(rx_buffer.get(), info);
}

void Corvane::SendForce(const Vector3& force) {
  send_vector(*this, force_code, force);
}

void Corvane::SendPosition(const Vector3& position) {
  send_vector(*this, position_code, position);
}

void Corvane::SendJointTorques(const Vector3& joint_torque) {
  send_vector(*this, joint_torque_code, joint_torque);
}

void Corvane::SendAngle(const Vector3& angle) {
  send_vector(*this, angle_code, angle);
}

void Corvane::ReceiveState(Vector3& position, Vector3& velocity) {
  receive_vector_pair(*this, end_effector_state_code, position, velocity);
}

void Corvane::ReceiveJointState(Vector3& joint_position, Vector3& joint_velocity) {
  receive_vector_pair(*this, joint_state_code, joint_position, joint_velocity);
}

void Corvane::RequestCurrent() {
  send_code(*this, current_code);
}

void Corvane::ReceiveCurrent(Vector3& current) {
  if (receive_body(*this, current_code, vector_body_size)) le::get_f32s(&rx_buffer[0], current);
}

DeviceInfo Corvane::device_wakeup() {
  DeviceInfo info{};
  SendDeviceWakeup();
  ReceiveDeviceInfo(info);
  return info;
}

EndEffectorState Corvane::end_effector_force(const Vector3& force) {
  EndEffectorState state{};
  SendForce(force);
  ReceiveState(state.position, state.velocity);
  return state;
}

EndEffectorState Corvane::end_effector_position(const Vector3& position) {
  EndEffectorState state{};
  SendPosition(position);
  ReceiveState(state.position, state.velocity);
  return state;
}

JointState Corvane::joint_torques(const Vector3& joint_torque) {
  JointState state{};
  SendJointTorques(joint_torque);
  ReceiveJointState(state.joint_position, state.joint_velocity);
  return state;
}

JointState Corvane::joint_angles(const Vector3& angle) {
  JointState state{};
  SendAngle(angle);
  ReceiveJointState(state.joint_position, state.joint_velocity);
  return state;
}

}  // namespace Orvex::HardwareAPI::Devices
