#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "Haptics/Effect.h"
#include "Haptics/ServoLoop.h"
#include "Haptics/Realtime/SpscRing.h"

namespace Orvex::HardwareAPI::Haptics {

using StateQueue = SpscRing<ServoState>;

// An effect of no force that hands each cycle of the loop rendering it to another thread: every
// cycle it reads the loop's last published state (the cycle before, with the force that cycle
// commanded) and pushes it into a queue, never waiting; a full queue costs the sample, counted.
//
// Threads: render() on the loop's thread (the queue's one producer); dropped() from any.
class LoopStateTap : public Effect {
 public:
  LoopStateTap(const ServoLoop& loop, std::shared_ptr<StateQueue> queue)
      : loop(loop), queue(std::move(queue)) {}

  Vector3d render(const EffectContext& context, const Parameters&) noexcept override;
  void begin(const EffectContext&) noexcept override { have_sent = false; }
  bool shareable() const noexcept override { return false; }

  std::uint64_t dropped() const { return lost.load(std::memory_order_relaxed); }

 private:
  const ServoLoop& loop;
  const std::shared_ptr<StateQueue> queue;

  // The loop's own.
  bool have_sent = false;
  double last_cycle = 0;

  std::atomic<std::uint64_t> lost{0};  // a counter only: relaxed
};

}  // namespace Orvex::HardwareAPI::Haptics
