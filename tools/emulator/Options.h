#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "CorvaneModel.h"
#include "FaultInjector.h"
#include "Types.h"

namespace Orvex::Emulator {

struct DeviceOptions {
  DeviceKind kind;
  DeviceIdentity identity;
  std::optional<std::string> link;
  double stream_hz = 0;  // handles only; 0 sends nothing unasked
  std::optional<std::string> replay;  // a recording to answer or play from
  // A Corvane's only:
  ArmFigures arm;
  std::optional<std::string> hand;     // an operator's script
  bool hand_loop = false;              // the script starts over at its end
  std::optional<std::string> control;  // a socket that moves the hand and reads the truth
  std::optional<std::string> truth;    // where the ground truth goes, 1,000 rows a second

  bool has_operator() const { return hand || control || truth; }
};

struct Options {
  std::vector<DeviceOptions> devices;  // in the order given
  FaultRates faults;
  std::uint64_t seed = 1;
  std::uint32_t latency_us = 0;
  std::uint32_t baud = 0;          // 0: bytes take no time on the line
  std::uint32_t usb_frame_us = 0;  // 0: replies are not held for USB frames
  bool verbose = false;
  bool ignore_stdin = false;
  bool realtime = false;
  bool help = false;
};

// A command line the emulator cannot follow; what() says why, for the user.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Device options configure the device named last before them; the others may stand anywhere.
// Throws UsageError.
Options parse_options(const std::vector<std::string>& arguments);

std::string usage_text();

}  // namespace Orvex::Emulator
