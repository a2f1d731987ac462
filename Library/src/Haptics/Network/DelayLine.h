#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "Haptics/ChannelEmulation.h"
#include "PeerState.h"

namespace Orvex::HardwareAPI::Haptics {

// Samples on their way, in a store of fixed size made once: a sample that finds it full is lost.
//
// Threads: one (the receiving thread).
class DelayLine {
 public:
  static constexpr std::size_t capacity = 4096;

  explicit DelayLine(const ChannelEmulation& emulation);

  // A sample that arrived at now_ns: false when the emulation (or a full store) lost it.
  bool offer(const PeerState& sample, std::int64_t now_ns);
  // The newest of the samples due by now_ns, if newer than the last one delivered; the
  // others due are dropped.
  bool take_due(std::int64_t now_ns, PeerState& newest);
  // When the next held sample is due; -1 when none is held.
  std::int64_t next_due_ns() const;

 private:
  struct Held {
    PeerState sample;
    std::int64_t due_ns;
  };

  const ChannelEmulation emulation;
  std::mt19937_64 random;
  std::vector<Held> held;  // reserved to capacity at construction
  std::uint64_t delivered = 0;  // number of the last sample delivered
};

}  // namespace Orvex::HardwareAPI::Haptics
