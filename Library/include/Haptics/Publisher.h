#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Haptics/RosEndpoint.h"

namespace Orvex::HardwareAPI::Haptics {

class ServoLoop;
class HandleListener;

struct PublisherStats {
  std::uint64_t published = 0;  // samples written (one per cycle or status, on every topic)
  std::uint64_t dropped = 0;    // cycles lost to a full queue before the publisher thread
};

// Publishes an arm's or a handle's state over DDS as ROS 2 messages, for monitoring and
// recording by DDS and ROS 2 tools on the same domain, on a thread of its own:
//   an arm (servo loop): <ns>/pose (geometry_msgs/PoseStamped), <ns>/twist (TwistStamped) and
//   <ns>/wrench (WrenchStamped, the force commanded), every cycle;
//   a handle (listener): <ns>/imu (sensor_msgs/Imu, the orientation), every status message.
// Writers are best effort, keep last 1. Headers are stamped with the wall-clock time of the
// cycle or message, increasing, and name endpoint.frame_id.
//
// The loop's thread only reads its own published state and pushes it into a lock-free queue
// (an effect of no force that start() adds to the loop and stop() removes: clearing the loop's
// effects stops the arm's samples); the handle's latest status is read from the listener's
// lock-free slot. The loop and listener must outlive the publisher.
//
// Threads: start(), stop() and running() from one application thread at a time; the rest from
// any.
class Publisher {
 public:
  Publisher(ServoLoop& loop, const RosEndpoint& endpoint);
  Publisher(const HandleListener& listener, const RosEndpoint& endpoint);
  ~Publisher();  // stops
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // Makes the writers and starts the thread: empty, or why not (running already counts as
  // started).
  std::string start();
  void stop();
  bool running() const;

  // The DDS topics written ("rt/orvex/pose", ...).
  std::vector<std::string> topics() const;
  const RosEndpoint& endpoint() const;
  PublisherStats stats() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl;
};

}  // namespace Orvex::HardwareAPI::Haptics
