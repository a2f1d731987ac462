#include "HandleDevice.h"

#include <utility>

#include "HandleMessages.h"

namespace Orvex::Emulator {

HandleDevice::HandleDevice(std::uint16_t device_id, double stream_hz,
                           std::optional<HandlePlayback> playback)
    : EmulatedDevice(HandleMessages::frame),
      device_id(device_id),
      stream_period_s(stream_hz > 0 ? 1 / stream_hz : 0),
      playback(std::move(playback)) {}

std::optional<double> HandleDevice::next_unasked_s() const {
  if (playback_start_s && played < playback->size())
    return *playback_start_s + playback->time_s(played);
  return next_status_s;
}

const char* HandleDevice::message_name(std::uint8_t code, bool from_host) const {
  return HandleMessages::name(code, from_host);
}

std::optional<Message> HandleDevice::unasked(double now_s) {
  if (playback) {
    if (!playback_start_s || played == playback->size() ||
        now_s < *playback_start_s + playback->time_s(played))
      return std::nullopt;
    return playback->message(played++);
  }
  if (!next_status_s || now_s < *next_status_s) return std::nullopt;
  // Ticks missed while the emulator was busy are skipped, not sent in a burst.
  *next_status_s += stream_period_s;
  if (*next_status_s <= now_s) *next_status_s = now_s + stream_period_s;
  return status_at(now_s);
}

std::optional<Message> HandleDevice::answer(const Piece& piece, double now_s) {
  using namespace HandleMessages;
  if (stream_period_s > 0 && !next_status_s) next_status_s = now_s + stream_period_s;
  if (playback && !playback_start_s) playback_start_s = now_s;
  if (!piece.known) {
    grip.raise_error();
    return encode_error(device_id, unknown_command);
  }
  switch (piece.bytes[0]) {
    case wakeup:
      return encode_info(device_id);
    case status:
      return status_at(now_s);
    default: {
      const HandleState state = decode_handle_state(piece.bytes);
      grip.store_user_data(state.user_data, state.length);
      return std::nullopt;
    }
  }
}

Message HandleDevice::status_at(double now_s) {
  return HandleMessages::encode_status(device_id, HandleModel::pose_at(now_s),
                                       grip.take_error_flag(), grip.user_data());
}

}  // namespace Orvex::Emulator
