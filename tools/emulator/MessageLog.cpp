#include "MessageLog.h"

#include <cstdio>

namespace Orvex::Emulator {

void MessageLog::incoming(const std::string& device, const char* name, const Message& bytes) const {
  if (verbose) line(device, "in ", name, {}, bytes);
}

void MessageLog::outgoing(const std::string& device, const char* name, const Message& bytes,
                          const std::string& fault) const {
  if (verbose) line(device, "out", name, fault.empty() ? fault : " (" + fault + ")", bytes);
}

void MessageLog::warn(const std::string& device, const std::string& text) const {
  std::fprintf(stderr, "orvex-emulator: %s: %s\n", device.c_str(), text.c_str());
}

void MessageLog::line(const std::string& device, const char* direction, const char* name,
                      const std::string& note, const Message& bytes) const {
  std::string hex;
  for (const std::uint8_t b : bytes) {
    char pair[4];
    std::snprintf(pair, sizeof pair, " %02x", b);
    hex += pair;
  }
  std::fprintf(stderr, "%s %s %s%s:%s\n", device.c_str(), direction, name, note.c_str(),
               hex.c_str());
}

}  // namespace Orvex::Emulator
