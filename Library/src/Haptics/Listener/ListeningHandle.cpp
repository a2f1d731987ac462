#include "ListeningHandle.h"

namespace Orvex::HardwareAPI::Haptics {

ListeningHandle::ListeningHandle(IO::SerialStream* stream, HandleInbox& inbox)
    : Handle(stream), inbox(inbox), started(std::chrono::steady_clock::now()) {}

void ListeningHandle::restart_clock() { started = std::chrono::steady_clock::now(); }

void ListeningHandle::OnReceiveHandleInfoRecord(const Devices::HandleInfoRecord& record) {
  message.kind = HandleMessage::Kind::info;
  message.info = record;
  deliver();
}

void ListeningHandle::OnReceiveHandleStatusMessageRecord(
    const Devices::HandleStatusMessageRecord& record) {
  message.kind = HandleMessage::Kind::status;
  message.status = record;
  deliver();
}

void ListeningHandle::OnReceiveHandleErrorResponseRecord(
    const Devices::HandleErrorResponseRecord& record) {
  message.kind = HandleMessage::Kind::error;
  message.error = record;
  deliver();
}

void ListeningHandle::deliver() {
  using namespace std::chrono;
  const auto now = steady_clock::now();
  message.time = duration<double>(now - started).count();
  inbox.put(message, duration_cast<milliseconds>(now.time_since_epoch()).count());
}

}  // namespace Orvex::HardwareAPI::Haptics
