#include "Haptics/Publisher.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "DdsParticipant.h"
#include "Haptics/Realtime/DeviceThread.h"
#include "Haptics/HandleListener.h"
#include "Haptics/ServoLoop.h"
#include "LoopStateTap.h"
#include "RosNames.h"
#include "StateMessages.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

// Several seconds of cycles at 1 kHz would only hide a publisher that cannot keep up; a tenth
// of one rides out a scheduling hiccup.
constexpr std::size_t queue_cycles = 128;
// How long the thread sleeps when there is nothing to publish: well under a 1 kHz period.
constexpr auto idle = std::chrono::microseconds(200);
const DeviceThreadOptions publisher_thread{"orvex-publish"};

}  // namespace

struct Publisher::Impl {
  ServoLoop* loop = nullptr;
  const HandleListener* listener = nullptr;
  RosEndpoint endpoint;

  std::unique_ptr<DdsParticipant> participant;
  dds_entity_t pose_writer = 0, twist_writer = 0, wrench_writer = 0, imu_writer = 0;
  std::shared_ptr<StateQueue> queue = std::make_shared<StateQueue>(queue_cycles);
  std::shared_ptr<LoopStateTap> tap;
  DeviceThread thread;
  // Relaxed: a flag the thread polls; the join orders everything after it.
  std::atomic<bool> stopping{false};
  std::atomic<std::uint64_t> published{0};  // a counter only: relaxed

  std::vector<std::string> topic_names() const {
    if (loop)
      return {RosNames::topic(endpoint.ns, "pose"), RosNames::topic(endpoint.ns, "twist"),
              RosNames::topic(endpoint.ns, "wrench")};
    return {RosNames::topic(endpoint.ns, "imu")};
  }

  std::string make_writers() {
    participant = std::make_unique<DdsParticipant>(endpoint.domain);
    const std::vector<std::string> names = topic_names();
    if (loop) {
      pose_writer = participant->writer(geometry_msgs_msg_dds__PoseStamped__desc, names[0]);
      twist_writer = participant->writer(geometry_msgs_msg_dds__TwistStamped__desc, names[1]);
      wrench_writer = participant->writer(geometry_msgs_msg_dds__WrenchStamped__desc, names[2]);
    } else {
      imu_writer = participant->writer(sensor_msgs_msg_dds__Imu__desc, names[0]);
    }
    return participant->problem();
  }

  // The publisher thread's, for an arm.
  void publish_cycles() {
    RosStamp stamper;
    geometry_msgs_msg_dds__PoseStamped_ pose{};
    geometry_msgs_msg_dds__TwistStamped_ twist{};
    geometry_msgs_msg_dds__WrenchStamped_ wrench{};
    ServoState states[16];
    const char* frame = endpoint.frame_id.c_str();
    while (!stopping.load(std::memory_order_relaxed)) {
      const std::size_t n = queue->pop_from_consumer(states, std::size(states));
      if (n == 0) std::this_thread::sleep_for(idle);
      for (std::size_t i = 0; i < n; ++i) {
        const RosTime time = stamper.at(states[i].time);
        StateMessages::stamp(pose.header, time, frame);
        StateMessages::stamp(twist.header, time, frame);
        StateMessages::stamp(wrench.header, time, frame);
        StateMessages::pose(pose, states[i].position);
        StateMessages::twist(twist, states[i].velocity);
        StateMessages::wrench(wrench, states[i].force);
        dds_write(pose_writer, &pose);
        dds_write(twist_writer, &twist);
        dds_write(wrench_writer, &wrench);
        published.fetch_add(3, std::memory_order_relaxed);
      }
    }
  }

  // The publisher thread's, for a handle: each new status once.
  void publish_statuses() {
    RosStamp stamper;
    sensor_msgs_msg_dds__Imu_ imu{};
    HandleMessage status;
    double last_time = -1;
    const char* frame = endpoint.frame_id.c_str();
    while (!stopping.load(std::memory_order_relaxed)) {
      if (!listener->latest(status) || status.time == last_time) {
        std::this_thread::sleep_for(idle);
        continue;
      }
      last_time = status.time;
      StateMessages::stamp(imu.header, stamper.at(status.time), frame);
      StateMessages::imu(imu, status.status.quaternion);
      dds_write(imu_writer, &imu);
      published.fetch_add(1, std::memory_order_relaxed);
    }
  }
};

Publisher::Publisher(ServoLoop& loop, const RosEndpoint& endpoint) : impl(std::make_unique<Impl>()) {
  impl->loop = &loop;
  impl->endpoint = endpoint;
}

Publisher::Publisher(const HandleListener& listener, const RosEndpoint& endpoint)
    : impl(std::make_unique<Impl>()) {
  impl->listener = &listener;
  impl->endpoint = endpoint;
}

Publisher::~Publisher() { stop(); }

std::string Publisher::start() {
  if (impl->thread.started()) return {};
  if (std::string why = impl->endpoint.problem(); !why.empty()) return why;
  if (std::string why = impl->make_writers(); !why.empty()) {
    impl->participant.reset();
    return why;
  }
  if (impl->loop) {
    impl->tap = std::make_shared<LoopStateTap>(*impl->loop, impl->queue);
    if (impl->loop->add(impl->tap) != AddResult::added) {
      impl->tap.reset();
      impl->participant.reset();
      return "the loop takes no further effect";
    }
  }
  impl->stopping.store(false, std::memory_order_relaxed);
  const int error = impl->thread.start_from_owner(publisher_thread, [this] {
    if (impl->loop)
      impl->publish_cycles();
    else
      impl->publish_statuses();
  });
  if (error != 0) {
    if (impl->tap) impl->loop->remove(impl->tap.get());
    impl->tap.reset();
    impl->participant.reset();
    return "the system would not start the publisher thread";
  }
  return {};
}

void Publisher::stop() {
  if (!impl->thread.started()) return;
  if (impl->tap) impl->loop->remove(impl->tap.get());
  impl->stopping.store(true, std::memory_order_relaxed);
  impl->thread.join_from_owner();
  impl->participant.reset();
}

bool Publisher::running() const { return impl->thread.started(); }

std::vector<std::string> Publisher::topics() const { return impl->topic_names(); }

const RosEndpoint& Publisher::endpoint() const { return impl->endpoint; }

PublisherStats Publisher::stats() const {
  PublisherStats stats;
  stats.published = impl->published.load(std::memory_order_relaxed);
  stats.dropped = impl->tap ? impl->tap->dropped() : 0;
  return stats;
}

}  // namespace Orvex::HardwareAPI::Haptics
