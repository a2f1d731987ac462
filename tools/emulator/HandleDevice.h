#pragma once

#include "EmulatedDevice.h"
#include "HandleModel.h"

namespace Orvex::Emulator {

// A handle on the line. With a stream rate it also sends status messages unasked, from the first
// command the host sends on: until then nobody may be reading, and stale messages would pile up
// ahead of the first reply.
class HandleDevice : public EmulatedDevice {
 public:
  HandleDevice(std::uint16_t device_id, double stream_hz);

  DeviceKind kind() const override { return DeviceKind::handle; }
  const char* message_name(std::uint8_t code, bool from_host) const override;
  std::optional<double> next_unasked_s() const override { return next_status_s; }
  std::optional<Message> unasked(double now_s) override;
  const HandleModel& model() const { return grip; }

 private:
  std::optional<Message> answer(const Piece& piece, double now_s) override;
  Message status_at(double now_s);

  std::uint16_t device_id;
  double stream_period_s;  // 0: never unasked
  std::optional<double> next_status_s;
  HandleModel grip;
};

}  // namespace Orvex::Emulator
