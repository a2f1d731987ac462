#pragma once

// The device's side of a serial line, played from a fuzz input held in memory. The library opens
// and reads it like a port, but every system call it makes is answered by the interposition
// layer: no pty, no sleeping, and a virtual clock, so a read that runs out of input ends at once
// instead of after its one-second limit.

#include <cstddef>
#include <cstdint>

#include "Interpose.h"

namespace Orvex::Fuzzing {

class FuzzLine {
 public:
  // settings shapes the line: bits 0-2 cap the bytes one read() delivers at 2^bits, bit 3 makes
  // every other read() find nothing yet, bit 4 makes the end of the input a failing read() (the
  // device gone) instead of silence (the time limit). bytes are what the device sends.
  FuzzLine(std::uint8_t settings, const std::uint8_t* bytes, std::size_t size);
  FuzzLine(const FuzzLine&) = delete;
  FuzzLine& operator=(const FuzzLine&) = delete;

  // Any path: opening it gives the line.
  static constexpr const char* path = "fuzz-line";

  // Offset of the next byte the library has not read yet, and the input's length.
  std::size_t position() const { return served; }
  std::size_t size() const { return length; }
  const std::uint8_t* at(std::size_t offset) const { return bytes + offset; }
  std::size_t remaining() const { return length - served; }

 private:
  std::optional<ssize_t> read(int fd, void* buf, std::size_t n);
  std::optional<int> gettimeofday(timeval* tv);

  const std::uint8_t* const bytes;
  const std::size_t length;
  const std::size_t chunk;
  const bool stalls;
  const bool ends_in_error;
  std::size_t served = 0;
  bool stall_next = false;
  bool silent = false;
  long long now_us = 1'000'000'000'000;
  Testing::ScopedHooks hooks;
};

}  // namespace Orvex::Fuzzing
