#include "TeleoperationChannel.h"

#include <orvex_msgs.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "Haptics/MonotonicClock.h"
#include "RosNames.h"
#include "StateMessages.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

using Message = orvex_msgs_msg_dds__TeleoperationState_;

// A fifth of a second of cycles at 1 kHz: more would only hide a sender that cannot keep up.
constexpr std::size_t outbox_cycles = 256;
// Samples the reader keeps for the receiving thread between two takes.
constexpr std::int32_t reader_depth = 16;
// The longest the receiving thread sleeps with no sample due, so that it sees a stop in time.
constexpr std::int64_t longest_wait_ns = 20'000'000;
constexpr auto idle = std::chrono::microseconds(200);
const DeviceThreadOptions sender_thread{"orvex-tele-send"};
const DeviceThreadOptions receiver_thread{"orvex-tele-recv"};

const char* role_name(TeleoperationRole role) {
  return role == TeleoperationRole::leader ? "teleoperation/leader" : "teleoperation/follower";
}

TeleoperationRole other(TeleoperationRole role) {
  return role == TeleoperationRole::leader ? TeleoperationRole::follower
                                           : TeleoperationRole::leader;
}

std::int64_t wall_clock_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

Vector3d from(const geometry_msgs_msg_dds__Vector3_& v) { return {v.x, v.y, v.z}; }
Vector3d from(const geometry_msgs_msg_dds__Point_& p) { return {p.x, p.y, p.z}; }

}  // namespace

TeleoperationChannel::TeleoperationChannel(const TeleoperationSettings& settings)
    : settings(settings),
      participant(settings.endpoint.domain),
      outbox(outbox_cycles),
      line(settings.emulation) {}

std::unique_ptr<TeleoperationChannel> TeleoperationChannel::open(
    const TeleoperationSettings& settings, std::string& problem) {
  std::unique_ptr<TeleoperationChannel> channel(new TeleoperationChannel(settings));
  DdsParticipant& dds = channel->participant;
  const std::string& ns = settings.endpoint.ns;
  channel->writer = dds.writer(orvex_msgs_msg_dds__TeleoperationState__desc,
                               RosNames::topic(ns, role_name(settings.role)));
  channel->reader = dds.reader(orvex_msgs_msg_dds__TeleoperationState__desc,
                               RosNames::topic(ns, role_name(other(settings.role))), reader_depth);
  if (!dds.problem().empty()) {
    problem = dds.problem();
    return nullptr;
  }
  channel->waitset = dds_create_waitset(DDS_CYCLONEDDS_HANDLE);
  channel->readable = dds_create_readcondition(channel->reader, DDS_ANY_STATE);
  if (channel->waitset < 0 || channel->readable < 0 ||
      dds_waitset_attach(channel->waitset, channel->readable, 0) < 0) {
    problem = "no DDS waitset for the teleoperation's reader";
    return nullptr;
  }
  TeleoperationChannel* c = channel.get();
  if (c->sender.start_from_owner(sender_thread, [c] { c->send_loop(); }) != 0 ||
      c->receiver.start_from_owner(receiver_thread, [c] { c->receive_loop(); }) != 0) {
    problem = "the system would not start the teleoperation's threads";
    return nullptr;  // the destructor stops the one that started
  }
  return channel;
}

TeleoperationChannel::~TeleoperationChannel() {
  stopping.store(true, std::memory_order_relaxed);
  if (waitset > 0) dds_waitset_set_trigger(waitset, true);
  if (sender.started()) sender.join_from_owner();
  if (receiver.started()) receiver.join_from_owner();
  if (waitset > 0) dds_delete(waitset);
}

void TeleoperationChannel::send_loop() {
  Message message{};
  message.role = static_cast<std::uint8_t>(settings.role);
  const char* frame = settings.endpoint.frame_id.c_str();
  std::int64_t last_stamp = 0;
  PeerState states[16];
  while (!stopping.load(std::memory_order_relaxed)) {
    const std::size_t n = outbox.pop_from_consumer(states, std::size(states));
    if (n == 0) {
      std::this_thread::sleep_for(idle);
      continue;
    }
    // The newest only: what the other side renders from; the sums of energy it carries hold
    // what the older ones said.
    const PeerState& state = states[n - 1];
    std::int64_t stamp = wall_clock_ns();
    if (stamp <= last_stamp) stamp = last_stamp + 1;
    last_stamp = stamp;
    StateMessages::stamp(message.header,
                         {static_cast<std::int32_t>(stamp / 1000000000),
                          static_cast<std::uint32_t>(stamp % 1000000000)},
                         frame);
    message.number = state.number;
    StateMessages::point(message.position, state.position);
    StateMessages::vector(message.velocity, state.velocity);
    StateMessages::vector(message.force, state.force);
    message.energy_in = state.energy_in;
    message.energy_out = state.energy_out;
    message.energy_returned = state.energy_returned;
    if (dds_write(writer, &message) == DDS_RETCODE_OK)
      written.fetch_add(1, std::memory_order_relaxed);
  }
}

void TeleoperationChannel::deliver(const PeerState& state) {
  const DeliveredPeer peer{state, monotonic_ns()};
  inbox.write_from_non_rt([&peer](DeliveredPeer& record) { record = peer; });
}

void TeleoperationChannel::receive_loop() {
  const auto expected_role = static_cast<std::uint8_t>(other(settings.role));
  const auto lost_after_ns = static_cast<std::int64_t>(settings.lost_after_s * 1e9);
  // The one peer this side follows: a second side of the other role on this namespace (a program
  // started twice, a stranger on the domain) would otherwise have two arms command this one in
  // turn. Another is taken up only once the one followed has been silent for lost_after_s, as a
  // restarted peer is.
  dds_instance_handle_t peer = 0;
  std::int64_t peer_heard_ns = 0;
  PeerCheck check;
  std::uint64_t run = 0;
  void* samples[reader_depth] = {};
  dds_sample_info_t infos[reader_depth];
  while (!stopping.load(std::memory_order_relaxed)) {
    std::int64_t wait_ns = longest_wait_ns;
    if (const std::int64_t due = line.next_due_ns(); due >= 0) {
      wait_ns = due - monotonic_ns();
      if (wait_ns < 0) wait_ns = 0;
      if (wait_ns > longest_wait_ns) wait_ns = longest_wait_ns;
    }
    dds_waitset_wait(waitset, nullptr, 0, wait_ns);
    samples[0] = nullptr;  // null: DDS lends its own buffers
    const dds_return_t n = dds_take(reader, samples, infos, reader_depth, reader_depth);
    const std::int64_t now = monotonic_ns();
    const std::int64_t wall_now = wall_clock_ns();
    for (dds_return_t i = 0; i < n; ++i) {
      if (!infos[i].valid_data) continue;
      const auto& message = *static_cast<const Message*>(samples[i]);
      const dds_instance_handle_t writer_of_it = infos[i].publication_handle;
      const bool another_peer =
          peer != 0 && writer_of_it != peer && now - peer_heard_ns < lost_after_ns;
      if (message.role != expected_role || another_peer) {
        foreign.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      if (writer_of_it != peer) check.forget();
      peer = writer_of_it;
      peer_heard_ns = now;
      const std::int64_t stamp =
          static_cast<std::int64_t>(message.header.stamp.sec) * 1000000000 +
          message.header.stamp.nanosec;
      PeerState state;
      state.number = message.number;
      state.position = from(message.position);
      state.velocity = from(message.velocity);
      state.force = from(message.force);
      state.energy_in = message.energy_in;
      state.energy_out = message.energy_out;
      state.energy_returned = message.energy_returned;
      const PeerCheck::Verdict verdict = check.accept(state, stamp);
      if (verdict == PeerCheck::Verdict::refused) {
        refused.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      if (verdict == PeerCheck::Verdict::taken_up) ++run;
      state.run = run;
      taken.fetch_add(1, std::memory_order_relaxed);
      transit.record(wall_now - stamp);
      if (!line.offer(state, now)) lost.fetch_add(1, std::memory_order_relaxed);
    }
    if (n > 0) dds_return_loan(reader, samples, n);
    PeerState newest;
    if (line.take_due(monotonic_ns(), newest)) deliver(newest);
  }
}

}  // namespace Orvex::HardwareAPI::Haptics
