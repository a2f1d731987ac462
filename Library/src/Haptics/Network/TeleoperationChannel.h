#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "DdsParticipant.h"
#include "DelayLine.h"
#include "Haptics/Loop/LatencyHistogram.h"
#include "Haptics/PublishedRecord.h"
#include "Haptics/Realtime/DeviceThread.h"
#include "Haptics/Realtime/SpscRing.h"
#include "Haptics/Teleoperation.h"
#include "PeerCheck.h"
#include "PeerState.h"

namespace Orvex::HardwareAPI::Haptics {

// The other side's latest state as the loop reads it, with when it was delivered.
struct DeliveredPeer {
  PeerState state;
  std::int64_t delivered_ns = 0;  // monotonic
};

// The DDS half of a teleoperation side: a sending thread that writes this side's states, handed
// over through a lock-free ring, on this role's topic; a receiving thread that takes the other
// role's samples, checks that they can be the other side's, passes them through the emulated
// network, and publishes the newest as a
// record the loop reads without waiting.
//
// Threads: open() and the destructor from one thread; send() from the one loop thread;
// latest() from any; counters from any.
class TeleoperationChannel {
 public:
  // Running, or null with the reason in problem.
  static std::unique_ptr<TeleoperationChannel> open(const TeleoperationSettings& settings,
                                                    std::string& problem);
  ~TeleoperationChannel();

  // Loop thread: never waits; false when the queue was full (the state is dropped).
  bool send(const PeerState& state) noexcept { return outbox.push_from_producer(state); }
  // Any thread: false before the first delivery or while one is being written.
  bool latest(DeliveredPeer& peer) const noexcept { return inbox.read_from_rt(peer); }

  std::uint64_t sent() const { return written.load(std::memory_order_relaxed); }
  std::uint64_t received() const { return taken.load(std::memory_order_relaxed); }
  std::uint64_t ignored() const { return foreign.load(std::memory_order_relaxed); }
  std::uint64_t implausible() const { return refused.load(std::memory_order_relaxed); }
  std::uint64_t emulated_lost() const { return lost.load(std::memory_order_relaxed); }
  const LatencyHistogram& latency() const { return transit; }

 private:
  explicit TeleoperationChannel(const TeleoperationSettings& settings);
  void send_loop();
  void receive_loop();
  void deliver(const PeerState& state);

  const TeleoperationSettings settings;
  DdsParticipant participant;
  dds_entity_t writer = 0, reader = 0, waitset = 0, readable = 0;
  SpscRing<PeerState> outbox;
  PublishedRecord<DeliveredPeer> inbox;  // written by the receiving thread alone
  DelayLine line;
  LatencyHistogram transit;
  DeviceThread sender, receiver;
  // Relaxed: flags the threads poll; their joins order what follows.
  std::atomic<bool> stopping{false};
  // Counters only: relaxed.
  std::atomic<std::uint64_t> written{0}, taken{0}, foreign{0}, refused{0}, lost{0};
};

}  // namespace Orvex::HardwareAPI::Haptics
