#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "Types.h"

namespace Orvex::Emulator {

// How much of the bytes waiting at the front of the line the next command takes.
struct Frame {
  enum class Kind { incomplete, command, unknown };
  Kind kind;
  std::size_t length;  // of a command or of an unknown piece; unused while incomplete
};

// Decides a frame from the bytes available so far (at least one).
using FrameRule = Frame (*)(const std::uint8_t* bytes, std::size_t available);

// One complete piece of what the host wrote: a command, or a byte no command starts with.
struct Piece {
  bool known;
  Message bytes;
};

// Cuts the byte stream from the host into commands, whatever the reads that bring them: a
// command split over several reads, or several commands in one read.
class CommandFramer {
 public:
  // The host writes each command at once, so a part still waiting after this long was left by a
  // host that gave up, and must not be glued to the next session's first command.
  static constexpr double stale_after_s = 0.2;

  explicit CommandFramer(FrameRule rule) : rule(rule) {}

  // Adds bytes that arrived at now_s. Returns the unfinished command it threw away as stale.
  Message push(const std::uint8_t* bytes, std::size_t n, double now_s);
  // The next complete piece, in arrival order.
  std::optional<Piece> next();

 private:
  FrameRule rule;
  Message pending;
  double pending_since_s = 0;
  double last_push_s = 0;
};

}  // namespace Orvex::Emulator
