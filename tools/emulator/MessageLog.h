#pragma once

#include <string>

#include "Types.h"

namespace Orvex::Emulator {

// With -v, one line on standard error per message in or out: the device, the direction, the
// message's name, what a fault did to it, and its bytes in hexadecimal.
class MessageLog {
 public:
  explicit MessageLog(bool verbose) : verbose(verbose) {}

  void incoming(const std::string& device, const char* name, const Message& bytes) const;
  void outgoing(const std::string& device, const char* name, const Message& bytes,
                const std::string& fault) const;
  // Said whatever the verbosity.
  void warn(const std::string& device, const std::string& text) const;

 private:
  void line(const std::string& device, const char* direction, const char* name,
            const std::string& note, const Message& bytes) const;

  bool verbose;
};

}  // namespace Orvex::Emulator
