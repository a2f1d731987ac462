#include "SameCorvane.h"

#include "CorvaneLink.h"
#include "Devices/Corvane.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

// As Python's uuid.UUID shows it: 8-4-4-4-12 lowercase hex digits.
void say_uuid(const UUID& id, char (&text)[37]) {
  static const char digits[] = "0123456789abcdef";
  std::size_t at = 0;
  for (std::size_t i = 0; i < UUID::size; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text[at++] = '-';
    text[at++] = digits[id.bytes[i] >> 4];
    text[at++] = digits[id.bytes[i] & 0xF];
  }
  text[at] = '\0';
}

}  // namespace

bool SameCorvane::identify(int port, std::int64_t deadline_ns, ReconnectRefusal& refusal) {
  CorvaneLink link(port);
  // Whatever waits on a port held came before the wake-up: late replies of the quiet device.
  link.drop_pending();
  Devices::DeviceInfo info{};
  if (link.wakeup(deadline_ns, info) != CorvaneLink::Reply::good) {
    refusal.say("no device-information reply to the wake-up");
    return false;
  }
  char answered[37];
  say_uuid(info.device_id_ext, answered);
  if (info.device_model_number != Devices::Corvane::model_number) {
    refusal.say("not a Corvane: model %u, UUID %s", unsigned{info.device_model_number}, answered);
    return false;
  }
  if (info.device_id_ext.bytes != uuid.bytes) {
    refusal.say("another Corvane, UUID %s", answered);
    return false;
  }
  return true;
}

}  // namespace Orvex::HardwareAPI::Haptics
