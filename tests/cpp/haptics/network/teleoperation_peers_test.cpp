// Which samples a teleoperation side takes for its other side: only those of the other role, on
// its own domain and namespace.

#include <gtest/gtest.h>
#include <unistd.h>
#include <orvex_msgs.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include "Haptics/Network/DdsParticipant.h"
#include "Haptics/Network/PeerState.h"
#include "Haptics/Teleoperation.h"

namespace Orvex::HardwareAPI::Haptics {
namespace {

// A namespace of this process's own, so that runs side by side on one machine never meet.
std::string own(const std::string& ns) { return ns + "_" + std::to_string(getpid()); }

std::shared_ptr<Teleoperation> side(TeleoperationRole role, std::uint32_t domain,
                                     const std::string& ns) {
  TeleoperationSettings settings;
  settings.role = role;
  settings.endpoint.domain = domain;
  settings.endpoint.ns = own(ns);
  std::string problem;
  auto made = Teleoperation::open(settings, problem);
  EXPECT_TRUE(made) << problem;
  return made;
}

// Stands in for a loop: renders the side for a while, so that it sends a sample each time.
void render_for(Teleoperation& teleoperation, std::chrono::milliseconds span) {
  EffectContext context;
  context.dt = 0.001;
  const auto end = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < end) {
    teleoperation.render(context, {});
    ++context.cycle;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Waits for the peer's samples to arrive, up to a generous bound for a loaded machine.
bool received_some(const Teleoperation& teleoperation) {
  for (int i = 0; i < 300 && teleoperation.stats().received == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return teleoperation.stats().received > 0;
}

TEST(TeleoperationPeers, ALeaderTakesTheFollowersSamples) {
  auto leader = side(TeleoperationRole::leader, 212, "/peers");
  auto follower = side(TeleoperationRole::follower, 212, "/peers");
  ASSERT_TRUE(leader && follower);
  std::thread rendering([&] { render_for(*follower, std::chrono::milliseconds(1500)); });
  EXPECT_TRUE(received_some(*leader));
  rendering.join();
  EXPECT_EQ(leader->stats().ignored, 0u);
  EXPECT_TRUE(leader->stats().peer_present);
}

TEST(TeleoperationPeers, AFollowerOnAnotherDomainOrNamespaceIsNotHeard) {
  auto leader = side(TeleoperationRole::leader, 213, "/peers");
  auto elsewhere = side(TeleoperationRole::follower, 214, "/peers");
  auto other_pair = side(TeleoperationRole::follower, 213, "/others");
  ASSERT_TRUE(leader && elsewhere && other_pair);
  std::thread a([&] { render_for(*elsewhere, std::chrono::milliseconds(800)); });
  std::thread b([&] { render_for(*other_pair, std::chrono::milliseconds(800)); });
  a.join();
  b.join();
  EXPECT_EQ(leader->stats().received, 0u);
  EXPECT_FALSE(leader->stats().peer_present);
  EXPECT_GT(elsewhere->stats().sent, 0u);
}

TEST(TeleoperationPeers, ALeaderWritingOnTheFollowersTopicIsIgnored) {
  auto leader = side(TeleoperationRole::leader, 215, "/peers");
  ASSERT_TRUE(leader);
  DdsParticipant impostor(215);
  const dds_entity_t writer = impostor.writer(orvex_msgs_msg_dds__TeleoperationState__desc,
                                              "rt" + own("/peers") + "/teleoperation/follower");
  ASSERT_EQ(impostor.problem(), "");
  orvex_msgs_msg_dds__TeleoperationState_ message{};
  message.header.frame_id = const_cast<char*>("elsewhere");
  message.role = 0;  // a leader
  message.energy_in = 1;  // an allowance it has no right to give
  for (int i = 0; i < 300 && leader->stats().ignored == 0; ++i) {
    message.number = static_cast<std::uint64_t>(i + 1);
    dds_write(writer, &message);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(leader->stats().ignored, 0u);
  EXPECT_EQ(leader->stats().received, 0u);
  EXPECT_EQ(leader->stats().peer_energy_in_j, 0.0);
}

// A side's stand-in that writes whatever it is given on the follower's topic, stamped now.
class RogueFollower {
 public:
  RogueFollower(std::uint32_t domain, const std::string& ns) : dds(domain) {
    writer = dds.writer(orvex_msgs_msg_dds__TeleoperationState__desc,
                        "rt" + own(ns) + "/teleoperation/follower");
    message.header.frame_id = const_cast<char*>("rogue");
    message.role = 1;
  }
  std::string problem() const { return dds.problem(); }
  void send(const PeerState& state) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    message.header.stamp.sec = static_cast<std::int32_t>(now.tv_sec);
    message.header.stamp.nanosec = static_cast<std::uint32_t>(now.tv_nsec);
    message.number = state.number;
    message.position = {state.position[0], state.position[1], state.position[2]};
    message.velocity = {state.velocity[0], state.velocity[1], state.velocity[2]};
    message.energy_in = state.energy_in;
    message.energy_out = state.energy_out;
    message.energy_returned = state.energy_returned;
    dds_write(writer, &message);
  }

 private:
  DdsParticipant dds;
  dds_entity_t writer = 0;
  orvex_msgs_msg_dds__TeleoperationState_ message{};
};

// Renders a side at rest at the origin, as its loop would, keeping the largest force and the
// largest change between two cycles.
struct RestingArm {
  std::atomic<bool> stop{false};
  std::atomic<double> largest{0}, largest_step{0};
  void run(Teleoperation& side) {
    EffectContext context;
    context.dt = 0.001;
    side.begin(context);
    Vector3d last{};
    while (!stop.load()) {
      const Vector3d force = side.render(context, {});
      double length = 0, step = 0;
      for (int i = 0; i < 3; ++i) {
        length += force[i] * force[i];
        step += (force[i] - last[i]) * (force[i] - last[i]);
      }
      largest = std::max(largest.load(), std::sqrt(length));
      largest_step = std::max(largest_step.load(), std::sqrt(step));
      last = force;
      ++context.cycle;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
};

TEST(TeleoperationPeers, AFollowerSendingGarbageNeverMovesTheLeaderAndRepeatedGarbageNeverStepsIt) {
  auto leader = side(TeleoperationRole::leader, 216, "/garbage");
  ASSERT_TRUE(leader);
  RogueFollower rogue(216, "/garbage");
  ASSERT_EQ(rogue.problem(), "");
  RestingArm arm;
  std::thread rendering([&] { arm.run(*leader); });
  PeerState state;  // an arm at rest at the origin: no force
  for (int i = 0; i < 300 && leader->stats().received == 0; ++i) {
    ++state.number;
    rogue.send(state);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_GT(leader->stats().received, 0u);
  const std::uint64_t received = leader->stats().received;
  // Garbage, no two samples alike: a position no arm reaches in a millisecond, a megajoule
  // granted, a position that is no number.
  for (int i = 0; i < 300; ++i) {
    PeerState garbage = state;
    garbage.number = ++state.number;
    if (i % 3 == 0) garbage.position = {0.2 + 0.01 * i, -0.1, 0.05};
    if (i % 3 == 1) garbage.energy_in = 1e6;
    if (i % 3 == 2) garbage.position[1] = std::numeric_limits<double>::quiet_NaN();
    rogue.send(garbage);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_GT(leader->stats().implausible, 50u);
  EXPECT_EQ(leader->stats().received, received);
  EXPECT_EQ(arm.largest.load(), 0.0);
  // The same wrong place over and over is a track (an arm shoved there): taken up, but the force
  // towards it grows by steps of 0.2 N at most, and no further than the energy granted allows.
  for (int i = 0; i < 300; ++i) {
    PeerState elsewhere = state;
    elsewhere.number = ++state.number;
    elsewhere.position = {0.2, 0, 0};
    rogue.send(elsewhere);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  arm.stop = true;
  rendering.join();
  EXPECT_GT(leader->stats().received, received);
  EXPECT_LE(arm.largest_step.load(), 0.2 + 1e-9);
}

}  // namespace
}  // namespace Orvex::HardwareAPI::Haptics
