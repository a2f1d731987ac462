#include "EmulatedDevice.h"

namespace Orvex::Emulator {

std::vector<Exchange> EmulatedDevice::receive(const std::uint8_t* bytes, std::size_t n,
                                              double now_s) {
  std::vector<Exchange> exchanges;
  Message stale = framer.push(bytes, n, now_s);
  if (!stale.empty()) exchanges.push_back({std::move(stale), "abandoned partial command", {}});
  while (auto piece = framer.next()) {
    const char* name = piece->known ? message_name(piece->bytes[0], true) : "unknown command";
    std::optional<Message> reply = answer(*piece, now_s);
    exchanges.push_back({std::move(piece->bytes), name, std::move(reply)});
  }
  return exchanges;
}

std::optional<Message> EmulatedDevice::unasked(double) {
  return std::nullopt;
}

}  // namespace Orvex::Emulator
