#include "LineTiming.h"

#include <algorithm>
#include <cmath>

namespace Orvex::Emulator {

namespace {

constexpr double bits_per_byte = 10;  // a start bit, 8 data bits, a stop bit

}  // namespace

LineTiming::LineTiming(std::uint32_t baud, std::uint32_t usb_frame_us)
    : byte_s(baud ? bits_per_byte / baud : 0), frame_s(usb_frame_us * 1e-6) {}

double LineTiming::to_device(double now_s) {
  device_line_free_s = std::max(now_s, device_line_free_s) + byte_s;
  return device_line_free_s;
}

double LineTiming::to_host(double now_s) {
  host_line_free_s = std::max(now_s, host_line_free_s) + byte_s;
  if (frame_s == 0) return host_line_free_s;
  // The next boundary at or after the byte's arrival; a whisker of tolerance keeps a byte that
  // lands on a boundary from waiting a whole frame over rounding.
  return std::ceil(host_line_free_s / frame_s - 1e-9) * frame_s;
}

}  // namespace Orvex::Emulator
