#include "ListeningHandle.h"

#include <cmath>

namespace Orvex::HardwareAPI::Haptics {

namespace {

// Body sizes of whole messages, as Receive counts them.
constexpr std::int32_t status_fixed_size = 21;
constexpr std::int32_t info_size = 6;
constexpr std::int32_t error_size = 3;

// A handle reports a unit quaternion; a flipped bit moves its length far from 1.
constexpr double quaternion_length_tolerance = 0.25;

}  // namespace

ListeningHandle::ListeningHandle(IO::SerialStream* stream, HandleInbox& inbox)
    : Handle(stream), inbox(inbox), started(std::chrono::steady_clock::now()) {}

void ListeningHandle::restart_clock() { started = std::chrono::steady_clock::now(); }

std::int32_t ListeningHandle::receive() {
  built = false;
  const std::int32_t count = Receive();
  if (!built) return count;  // no handle message
  if (!plausible(count)) {
    inbox.count_refused();
    return count;
  }
  if (probation) {
    // Only the information reply of the handle known before ends it.
    if (message.kind != HandleMessage::Kind::info ||
        (knows_device && message.info.device_id != device_id))
      return count;
    probation = false;
    just_adopted = true;
  }
  if (message.kind == HandleMessage::Kind::info) {
    knows_device = true;
    device_id = message.info.device_id;
  }
  deliver();
  return count;
}

void ListeningHandle::await_same_handle() { probation = true; }

bool ListeningHandle::adopted() {
  const bool adopted_now = just_adopted;
  just_adopted = false;
  return adopted_now;
}

bool ListeningHandle::plausible(std::int32_t count) const {
  switch (message.kind) {
    case HandleMessage::Kind::info: return count == info_size;
    case HandleMessage::Kind::error:
      return count == error_size && (!knows_device || message.error.device_id == device_id);
    case HandleMessage::Kind::status: {
      const auto& status = message.status;
      // A length byte that claims more than came means the message broke off.
      if (count != status_fixed_size + status.user_data_length) return false;
      if (knows_device && status.device_id != device_id) return false;
      double squared = 0;
      for (const float component : status.quaternion) squared += double{component} * component;
      return std::isfinite(squared) &&
             std::fabs(std::sqrt(squared) - 1.0) <= quaternion_length_tolerance;
    }
  }
  return false;
}

void ListeningHandle::OnReceiveHandleInfoRecord(const Devices::HandleInfoRecord& record) {
  message.kind = HandleMessage::Kind::info;
  message.info = record;
  built = true;
}

void ListeningHandle::OnReceiveHandleStatusMessageRecord(
    const Devices::HandleStatusMessageRecord& record) {
  message.kind = HandleMessage::Kind::status;
  message.status = record;
  built = true;
}

void ListeningHandle::OnReceiveHandleErrorResponseRecord(
    const Devices::HandleErrorResponseRecord& record) {
  message.kind = HandleMessage::Kind::error;
  message.error = record;
  built = true;
}

void ListeningHandle::deliver() {
  using namespace std::chrono;
  const auto now = steady_clock::now();
  message.time = duration<double>(now - started).count();
  inbox.put(message, duration_cast<milliseconds>(now.time_since_epoch()).count());
}

}  // namespace Orvex::HardwareAPI::Haptics
