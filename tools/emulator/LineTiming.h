#pragma once

#include <cstdint>

namespace Orvex::Emulator {

// When each byte crosses a serial line of a given speed, and when a USB adapter hands the
// device's bytes to the host. Bytes queue on the line one after another, 10 bits each (start,
// 8 data, stop), so their order is kept; the host side of a USB adapter sees them only at the
// next frame boundary. Both directions keep their own line. Time is given by the caller.
class LineTiming {
 public:
  // baud 0: the line takes no time; frame_us 0: no USB frames.
  LineTiming(std::uint32_t baud, std::uint32_t usb_frame_us);

  // Whether every byte arrives the moment it is sent.
  bool instant() const { return byte_s == 0 && frame_s == 0; }
  double byte_time_s() const { return byte_s; }

  // When a byte the host sends at now_s has wholly reached the device.
  double to_device(double now_s);
  // When a byte the device sends at now_s reaches the host.
  double to_host(double now_s);

 private:
  double byte_s;
  double frame_s;
  double device_line_free_s = 0;
  double host_line_free_s = 0;
};

}  // namespace Orvex::Emulator
