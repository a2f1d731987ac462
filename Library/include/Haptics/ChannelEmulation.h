#pragma once

#include <cstdint>

namespace Orvex::HardwareAPI::Haptics {

// What a network between two sides does to their samples, as a testing aid where no network
// emulator is at hand: each sample is held for `delay_s` plus an even spread of +-`jitter_s`
// (never less than nothing), and `loss` of them (a share, 0..1) never arrive. Jitter lets a later
// sample overtake an earlier one; the earlier is then dropped on arrival, as the keep-latest
// receiver does.
struct ChannelEmulation {
  double delay_s = 0;
  double jitter_s = 0;
  double loss = 0;
  std::uint64_t seed = 1;

  // Why these emulate no channel, or null.
  const char* problem() const;
  bool active() const { return delay_s > 0 || jitter_s > 0 || loss > 0; }
};

}  // namespace Orvex::HardwareAPI::Haptics
