#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "CommandFramer.h"
#include "Types.h"

namespace Orvex::Emulator {

// What one piece of the host's bytes did: the bytes, a name for the log, the reply it earned.
struct Exchange {
  Message command;
  const char* name;
  std::optional<Message> reply;
};

// The device end of one line: bytes from the host in, replies out. It does no I/O and reads no
// clock; the caller says what time it is.
class EmulatedDevice {
 public:
  virtual ~EmulatedDevice() = default;
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  virtual DeviceKind kind() const = 0;
  virtual const char* message_name(std::uint8_t code, bool from_host) const = 0;

  // Takes the bytes of one read from the line and answers every command they complete.
  std::vector<Exchange> receive(const std::uint8_t* bytes, std::size_t n, double now_s);

  // When the device next speaks unasked, if it ever does.
  virtual std::optional<double> next_unasked_s() const { return std::nullopt; }
  // What it says unasked at now_s, when that is due.
  virtual std::optional<Message> unasked(double now_s);

 protected:
  explicit EmulatedDevice(FrameRule rule) : framer(rule) {}
  virtual std::optional<Message> answer(const Piece& piece, double now_s) = 0;

 private:
  CommandFramer framer;
};

}  // namespace Orvex::Emulator
