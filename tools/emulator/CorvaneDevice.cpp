#include "CorvaneDevice.h"

#include <utility>

#include "CorvaneMessages.h"

namespace Orvex::Emulator {

namespace {

Vector3 widen(const WireVector& v) {
  return {v[0], v[1], v[2]};
}

WireVector narrow(const Vector3& v) {
  return {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
}

Message state_of(CorvaneMessages::Code code, const DampedBody& body) {
  return CorvaneMessages::encode_state(code, narrow(body.position()), narrow(body.velocity()));
}

}  // namespace

CorvaneDevice::CorvaneDevice(const DeviceIdentity& identity,
                             std::optional<CorvanePlayback> playback, const ArmFigures& figures)
    : EmulatedDevice(CorvaneMessages::frame),
      identity(identity),
      arm(figures),
      playback(std::move(playback)) {}

const char* CorvaneDevice::message_name(std::uint8_t code, bool from_host) const {
  return CorvaneMessages::name(code, from_host);
}

std::optional<Message> CorvaneDevice::answer(const Piece& piece, double now_s) {
  using namespace CorvaneMessages;
  if (!piece.known) return std::nullopt;
  const std::uint8_t code = piece.bytes[0];
  if (code == wakeup) return encode_device_info(identity);

  if (playback && (code == force || code == position)) return replayed(now_s);
  arm.advance_to(now_s);
  switch (code) {
    case force:
      return drive(&CorvaneModel::apply_force, piece.bytes, false);
    case position:
      return drive(&CorvaneModel::move_to, piece.bytes, false);
    case joint_torque:
      return drive(&CorvaneModel::apply_joint_torques, piece.bytes, true);
    case joint_angle:
      return drive(&CorvaneModel::move_joints_to, piece.bytes, true);
    default:
      return encode_current(narrow(arm.currents()));
  }
}

Message CorvaneDevice::replayed(double now_s) {
  if (!first_replayed_s) first_replayed_s = now_s;
  const CorvanePlayback::State state = playback->at(now_s - *first_replayed_s);
  return CorvaneMessages::encode_state(CorvaneMessages::end_effector_state, narrow(state.position),
                                       narrow(state.velocity));
}

Message CorvaneDevice::drive(Command command, const Message& bytes, bool joints) {
  // A vector that is not finite leaves the arm as it was; the host still gets its state.
  (arm.*command)(widen(CorvaneMessages::decode_vector(bytes)));
  return joints ? state_of(CorvaneMessages::joint_state, arm.joints())
                : state_of(CorvaneMessages::end_effector_state, arm.end_effector());
}

}  // namespace Orvex::Emulator
