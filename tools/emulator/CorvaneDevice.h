#pragma once

#include <optional>

#include "CorvaneModel.h"
#include "EmulatedDevice.h"
#include "Playback.h"

namespace Orvex::Emulator {

// A Corvane on the line: every command is answered with the reply of its kind. It has no error
// reply, so a byte that starts no command is skipped unanswered. With a playback, force and
// position commands are answered with the recorded end-effector state at the time since the
// first of them, instead of the model's.
class CorvaneDevice : public EmulatedDevice {
 public:
  explicit CorvaneDevice(const DeviceIdentity& identity,
                         std::optional<CorvanePlayback> playback = std::nullopt,
                         const ArmFigures& figures = ArmFigures{});

  DeviceKind kind() const override { return DeviceKind::corvane; }
  const char* message_name(std::uint8_t code, bool from_host) const override;
  const CorvaneModel& model() const { return arm; }
  // For the operator's hand, on the thread that serves the device.
  CorvaneModel& model() { return arm; }

 private:
  using Command = bool (CorvaneModel::*)(const Vector3&);

  std::optional<Message> answer(const Piece& piece, double now_s) override;
  // Hands a float command to the model and answers with the state of the part it drives.
  Message drive(Command command, const Message& bytes, bool joints);

  Message replayed(double now_s);

  DeviceIdentity identity;
  CorvaneModel arm;
  std::optional<CorvanePlayback> playback;
  std::optional<double> first_replayed_s;
};

}  // namespace Orvex::Emulator
