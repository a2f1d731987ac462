#pragma once

#include <optional>

#include "EmulatedDevice.h"
#include "HandleModel.h"
#include "Playback.h"

namespace Orvex::Emulator {

// A handle on the line. With a stream rate it also sends status messages unasked, from the first
// command the host sends on: until then nobody may be reading, and stale messages would pile up
// ahead of the first reply. With a playback it sends the recorded messages instead, each at its
// recorded time since the first command.
class HandleDevice : public EmulatedDevice {
 public:
  HandleDevice(std::uint16_t device_id, double stream_hz,
               std::optional<HandlePlayback> playback = std::nullopt);

  DeviceKind kind() const override { return DeviceKind::handle; }
  const char* message_name(std::uint8_t code, bool from_host) const override;
  std::optional<double> next_unasked_s() const override;
  std::optional<Message> unasked(double now_s) override;
  const HandleModel& model() const { return grip; }

 private:
  std::optional<Message> answer(const Piece& piece, double now_s) override;
  Message status_at(double now_s);

  std::uint16_t device_id;
  double stream_period_s;  // 0: never unasked
  std::optional<double> next_status_s;
  HandleModel grip;
  std::optional<HandlePlayback> playback;
  std::optional<double> playback_start_s;
  std::size_t played = 0;
};

}  // namespace Orvex::Emulator
