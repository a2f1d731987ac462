#pragma once

#include <array>
#include <cstdint>

#include "Devices/Device.h"
#include "IO/SerialStream.h"
#include "UUID.h"

namespace Orvex::HardwareAPI::Devices {

// The decoded device-information reply; a value-initialised one is all zeros.
struct DeviceInfo {
  std::uint16_t device_id{};
  std::uint8_t device_model_number{};
  std::uint8_t hardware_version{};
  std::uint8_t firmware_version{};
  UUID device_id_ext{};
};

// Three values in element order (X, Y, Z for the end-effector force).
using Vector3 = std::array<float, 3>;

struct EndEffectorState {
  Vector3 position{};
  Vector3 velocity{};
};

// In the joint reference frame.
struct JointState {
  Vector3 joint_position{};
  Vector3 joint_velocity{};
};

// The three-joint force-feedback arm. Every message is a header code and a fixed-size body,
// built and read in place in the device's buffers: nothing is allocated per message.
//
// Receive operations fill their outputs only from a reply with the expected header code and a
// complete body; otherwise the outputs stay as they were. After a wrong header code whatever
// follows on the line (up to a buffer's worth) is read and thrown away.
class Corvane : public Device {
 public:
  // A Corvane's device-information reply carries this model number.
  static constexpr std::uint8_t model_number = 4;

  explicit Corvane(IO::SerialStream* stream) : Device(stream) {}

  void SendDeviceWakeup();
  void ReceiveDeviceInfo(DeviceInfo& info);
  void SendForce(const Vector3& force);
  void SendPosition(const Vector3& position);
  void SendJointTorques(const Vector3& joint_torque);
  void SendAngle(const Vector3& angle);
  void ReceiveState(Vector3& position, Vector3& velocity);
  void ReceiveJointState(Vector3& joint_position, Vector3& joint_velocity);
  void RequestCurrent();
  void ReceiveCurrent(Vector3& current);

  // A command and the reply that answers it, starting from zeros: a failed exchange gives zeros.
  DeviceInfo device_wakeup();
  EndEffectorState end_effector_force(const Vector3& force);
  EndEffectorState end_effector_position(const Vector3& position);
  JointState joint_torques(const Vector3& joint_torque);
  JointState joint_angles(const Vector3& angle);
};

}  // namespace Orvex::HardwareAPI::Devices
