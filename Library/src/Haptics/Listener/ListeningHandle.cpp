#include "ListeningHandle.h"

#include <cmath>
#include <cstring>

#include "Device/HandleWire.h"
#include "Haptics/Clock.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

namespace wire = Devices::HandleWire;

// A handle reports a unit quaternion (normalised, to within its rounding); a flipped bit, or a
// message completed with the next one's bytes, moves its length away from 1.
constexpr double quaternion_length_tolerance = 0.05;

bool near_unit(const float (&quaternion)[4]) {
  double squared = 0;
  for (const float component : quaternion) squared += double{component} * component;
  return std::isfinite(squared) &&
         std::fabs(std::sqrt(squared) - 1.0) <= quaternion_length_tolerance;
}

// Where in a status's user data another status of the same handle may begin (its header code and
// device id, and a unit quaternion when that came too; at the data's end, the code and the id's
// first byte), or the data's length when none does. A length byte flipped on the line makes a
// status swallow what follows it; but a handle's own data may hold those bytes too: a counter
// does once in 65,536 counts (474 is DA 01 00 00, the start of a status of handle 1).
std::size_t swallowed_status_at(const Devices::HandleStatusMessageRecord& status) {
  const std::size_t length = status.user_data_length;
  const std::uint8_t id[2] = {static_cast<std::uint8_t>(status.device_id & 0xFF),
                              static_cast<std::uint8_t>(status.device_id >> 8)};
  for (std::size_t at = 0; at + 3 <= length; ++at) {
    const std::uint8_t* start = status.user_data + at;
    if (start[0] != wire::status_code || start[1] != id[0] || start[2] != id[1]) continue;
    if (at + 1 + wire::status_fixed_body_size > length) return at;
    Devices::HandleStatusMessageRecord inner{};
    wire::decode_status_fixed(start + 1, inner);
    if (near_unit(inner.quaternion)) return at;
  }
  if (length >= 2 && status.user_data[length - 2] == wire::status_code &&
      status.user_data[length - 1] == id[0])
    return length - 2;
  return length;
}

// Whether the status that may begin at `at` of the user data ends exactly where the data does:
// a whole status swallowed.
bool swallowed_whole(const Devices::HandleStatusMessageRecord& status, std::size_t at) {
  const std::size_t length_at = at + 1 + wire::status_data_length_at;
  return length_at < status.user_data_length &&
         length_at + 1 + status.user_data[length_at] == status.user_data_length;
}

// Whether the bytes after a status start a message of the same handle: they do when its length
// byte was right.
bool starts_next_message(const HandleFramer::Following& following, std::uint16_t device_id) {
  const std::uint8_t* next = following.bytes;
  switch (next[0]) {
    case wire::info_code: return true;
    case wire::status_code:
    case wire::error_code:
      return following.size < 3 || (next[1] == (device_id & 0xFF) && next[2] == (device_id >> 8));
    default: return false;
  }
}

}  // namespace

ListeningHandle::ListeningHandle(IO::SerialStream* stream, HandleInbox& inbox)
    : Handle(stream), inbox(inbox) {}


std::size_t ListeningHandle::take(const std::uint8_t* bytes, std::size_t size,
                                  const HandleFramer::Following& following) {
  const std::uint8_t* body = bytes + 1;
  switch (bytes[0]) {
    case wire::info_code:
      message.kind = HandleMessage::Kind::info;
      wire::decode_info(body, message.info);
      break;
    case wire::error_code:
      message.kind = HandleMessage::Kind::error;
      wire::decode_error(body, message.error);
      break;
    default: {
      message.kind = HandleMessage::Kind::status;
      auto& status = message.status;
      wire::decode_status_fixed(body, status);
      // The framer took as many bytes as the length byte claims.
      const std::size_t length = size - 1 - wire::status_fixed_body_size;
      std::memcpy(status.user_data, body + wire::status_fixed_body_size, length);
      std::memset(status.user_data + length, 0, sizeof status.user_data - length);
      const std::size_t swallowed = swallowed_status_at(status);
      if (swallowed < length) {
        // Its own data, or the start of the next status swallowed: the bytes after it tell.
        // A line that stays quiet after it leaves nothing to contradict its length.
        if (following.size == 0 && !following.final) return 0;
        if (swallowed_whole(status, swallowed) ||
            (following.size > 0 && !starts_next_message(following, status.device_id))) {
          // Refused, and the messages it swallowed are read again from the first one.
          inbox.count_refused();
          return 1 + wire::status_fixed_body_size + swallowed;
        }
      }
      break;
    }
  }
  if (!plausible()) {
    inbox.count_refused();
    return size;
  }
  if (probation) {
    // Only the information reply of the handle known before ends it.
    if (message.kind != HandleMessage::Kind::info) return size;
    if (knows_device && message.info.device_id != device_id) {
      other_answered = true;
      other_id = message.info.device_id;
      return size;
    }
    probation = false;
  }
  if (message.kind == HandleMessage::Kind::info) {
    knows_device = true;
    device_id = message.info.device_id;
  }
  deliver();
  return size;
}

void ListeningHandle::await_same_handle() {
  probation = true;
  other_answered = false;
}

bool ListeningHandle::other_handle_answered(std::uint16_t& id) const {
  if (other_answered) id = other_id;
  return other_answered;
}

bool ListeningHandle::plausible() const {
  // Once a handle has named itself, every message on the line is its own; on probation another
  // handle's information reply is merely not adopted.
  const auto same_device = [this](std::uint16_t id) { return !knows_device || id == device_id; };
  switch (message.kind) {
    case HandleMessage::Kind::info: return probation || same_device(message.info.device_id);
    case HandleMessage::Kind::error: return same_device(message.error.device_id);
    case HandleMessage::Kind::status: {
      const auto& status = message.status;
      return same_device(status.device_id) && near_unit(status.quaternion);
    }
  }
  return false;
}

void ListeningHandle::deliver() {
  using namespace std::chrono;
  const auto now = steady_clock::now();
  message.time = Haptics::now();
  inbox.put(message, duration_cast<milliseconds>(now.time_since_epoch()).count());
}

}  // namespace Orvex::HardwareAPI::Haptics
