#include "FaultInjector.h"

namespace Orvex::Emulator {

bool FaultInjector::chance(double p) {
  // 53 random bits make a uniform double in [0, 1): p = 0 never hits and p = 1 always does.
  return static_cast<double>(random() >> 11) * 0x1.0p-53 < p;
}

std::string FaultInjector::apply(Message& message) {
  if (message.empty()) return {};
  if (chance(rates.drop)) {
    message.clear();
    return "dropped";
  }
  std::string done;
  if (message.size() > 1 && chance(rates.truncate)) {
    const std::size_t keep = 1 + below(message.size() - 1);
    done =
        "truncated to " + std::to_string(keep) + " of " + std::to_string(message.size()) + " bytes";
    message.resize(keep);
  }
  if (chance(rates.garble)) {
    const std::size_t at = below(message.size());
    message[at] ^= static_cast<std::uint8_t>(1u << below(8));
    done += (done.empty() ? "" : ", ") + std::string("byte ") + std::to_string(at) + " garbled";
  }
  return done;
}

}  // namespace Orvex::Emulator
