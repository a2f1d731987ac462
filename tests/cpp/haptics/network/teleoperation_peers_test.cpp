// Which samples a teleoperation side takes for its other side: only those of the other role, on
// its own domain and namespace.

#include <gtest/gtest.h>
#include <unistd.h>
#include <orvex_msgs.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "Haptics/Network/DdsParticipant.h"
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

}  // namespace
}  // namespace Orvex::HardwareAPI::Haptics
