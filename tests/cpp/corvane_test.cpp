#include "Devices/Corvane.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <ostream>
#include <string>

#include "CapturedFd.h"
#include "Interpose.h"
#include "PtyPair.h"
#include "Timing.h"

// Every allocation of the test binary is counted, so an exchange can be shown to make none.
namespace {
std::atomic<std::size_t> allocations{0};
}

// GCC takes the malloc/free pair inside a replaced operator new/delete for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  ++allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
#pragma GCC diagnostic pop

namespace {

using namespace Orvex::Testing;
using Orvex::HardwareAPI::Devices::Corvane;
using Orvex::HardwareAPI::Devices::DeviceInfo;
using Orvex::HardwareAPI::Devices::Vector3;
using Orvex::HardwareAPI::IO::SerialStream;

// Little-endian single-precision encodings, written out by hand.
const Bytes one{0x00, 0x00, 0x80, 0x3F};
const Bytes two{0x00, 0x00, 0x00, 0x40};
const Bytes three{0x00, 0x00, 0x40, 0x40};
const Bytes four{0x00, 0x00, 0x80, 0x40};
const Bytes half{0x00, 0x00, 0x00, 0x3F};
const Bytes minus_one{0x00, 0x00, 0x80, 0xBF};
const Bytes minus_two{0x00, 0x00, 0x00, 0xC0};
const Bytes zero{0x00, 0x00, 0x00, 0x00};

Bytes joined(std::initializer_list<Bytes> fields) {
  Bytes bytes;
  for (const Bytes& field : fields) bytes.insert(bytes.end(), field.begin(), field.end());
  return bytes;
}

Bytes message(std::uint8_t code, std::initializer_list<Bytes> fields) {
  return joined({Bytes{code}, joined(fields)});
}

// A reply with a code nobody asked for, followed by exactly a buffer's worth, so that the
// discard read ends at once instead of at the read limit.
Bytes unexpected_reply(std::uint8_t code) {
  Bytes bytes(1 + Corvane::buffer_size, 0x55);
  bytes[0] = code;
  return bytes;
}

const Bytes end_effector_state = message(43, {one, two, three, minus_one, half, minus_two});
const Bytes joint_state = message(27, {one, two, three, minus_one, half, minus_two});
const std::array<float, 6> state_values{1.0f, 2.0f, 3.0f, -1.0f, 0.5f, -2.0f};

Bytes device_info_reply() {
  Bytes reply{11, 0x2C, 0x01, 0x04, 0x02, 0x07};
  for (std::uint8_t i = 0; i < 16; ++i) reply.push_back(i);
  return reply;
}

class CorvaneTest : public ::testing::Test {
 protected:
  PtyPair pty;
  SerialStream stream{pty.path().c_str(), true};
  Corvane corvane{&stream};
};

struct Command {
  std::string name;
  std::function<void(Corvane&)> send;
  Bytes wire;
};

void PrintTo(const Command& command, std::ostream* out) {
  *out << command.name;
}

class CorvaneCommand : public CorvaneTest, public ::testing::WithParamInterface<Command> {};

TEST_P(CorvaneCommand, GoesOutInOneWriteAndReadsNothing) {
  reset_calls();
  CapturedFd err(2);
  GetParam().send(corvane);
  EXPECT_EQ(calls(SysCall::write), 1u);
  EXPECT_EQ(calls(SysCall::read), 0u);
  EXPECT_EQ(pty.drain(), GetParam().wire);
  EXPECT_EQ(err.text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Wire, CorvaneCommand,
    ::testing::Values(
        Command{"Wakeup", [](Corvane& c) { c.SendDeviceWakeup(); }, {0x0A}},
        Command{"CurrentRequest", [](Corvane& c) { c.RequestCurrent(); }, {0xAB}},
        Command{"Force",
                [](Corvane& c) {
                  c.SendForce({1.0f, 2.0f, 3.0f});
                },
                {0x2A, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40}},
        Command{"ZeroForce", [](Corvane& c) { c.SendForce({}); }, message(42, {zero, zero, zero})},
        Command{"Position",
                [](Corvane& c) {
                  c.SendPosition({-1.0f, 0.5f, 4.0f});
                },
                message(44, {minus_one, half, four})},
        Command{"JointTorques",
                [](Corvane& c) {
                  c.SendJointTorques({4.0f, -2.0f, 1.0f});
                },
                message(26, {four, minus_two, one})},
        Command{"Angle",
                [](Corvane& c) {
                  c.SendAngle({0.5f, 3.0f, -1.0f});
                },
                message(28, {half, three, minus_one})}),
    [](const auto& info) { return info.param.name; });

struct Exchange {
  std::string name;
  std::function<std::array<float, 6>(Corvane&, const Vector3&)> run;
  std::uint8_t command_code;
  Bytes answer;
  std::uint8_t other_reply_code;  // the state reply that answers the other kind of command
};

std::array<float, 6> flat(const Vector3& first, const Vector3& second) {
  return {first[0], first[1], first[2], second[0], second[1], second[2]};
}

void PrintTo(const Exchange& exchange, std::ostream* out) {
  *out << exchange.name;
}

class CorvaneExchange : public CorvaneTest, public ::testing::WithParamInterface<Exchange> {};

TEST_P(CorvaneExchange, SendsTheCommandAndDecodesItsReply) {
  pty.send(GetParam().answer);
  const auto got = GetParam().run(corvane, {4.0f, 0.5f, -1.0f});
  EXPECT_EQ(pty.drain(), message(GetParam().command_code, {four, half, minus_one}));
  EXPECT_EQ(got, state_values);
}

TEST_P(CorvaneExchange, TheOtherStateReplyIsDroppedWithABufferOfWhatFollows) {
  pty.send(unexpected_reply(GetParam().other_reply_code));
  pty.send(GetParam().answer);
  CapturedFd err(2);
  const auto ms = elapsed_ms([&] {
    EXPECT_EQ(GetParam().run(corvane, {1.0f, 1.0f, 1.0f}), (std::array<float, 6>{}));
  });
  EXPECT_LT(ms, at_once_ms);
  EXPECT_TRUE(stream.good());
  // Exactly a buffer's worth went: the next reply on the line is read whole.
  EXPECT_EQ(GetParam().run(corvane, {}), state_values);
  EXPECT_EQ(err.text(), "");
}

INSTANTIATE_TEST_SUITE_P(Wire, CorvaneExchange,
                         ::testing::Values(Exchange{"EndEffectorForce",
                                                    [](Corvane& c, const Vector3& v) {
                                                      const auto s = c.end_effector_force(v);
                                                      return flat(s.position, s.velocity);
                                                    },
                                                    42, end_effector_state, 27},
                                           Exchange{"EndEffectorPosition",
                                                    [](Corvane& c, const Vector3& v) {
                                                      const auto s = c.end_effector_position(v);
                                                      return flat(s.position, s.velocity);
                                                    },
                                                    44, end_effector_state, 27},
                                           Exchange{"JointTorques",
                                                    [](Corvane& c, const Vector3& v) {
                                                      const auto s = c.joint_torques(v);
                                                      return flat(s.joint_position,
                                                                  s.joint_velocity);
                                                    },
                                                    26, joint_state, 43},
                                           Exchange{"JointAngles",
                                                    [](Corvane& c, const Vector3& v) {
                                                      const auto s = c.joint_angles(v);
                                                      return flat(s.joint_position,
                                                                  s.joint_velocity);
                                                    },
                                                    28, joint_state, 43}),
                         [](const auto& info) { return info.param.name; });

TEST_F(CorvaneTest, WakeupDecodesTheDeviceInformation) {
  pty.send(device_info_reply());
  const DeviceInfo info = corvane.device_wakeup();
  EXPECT_EQ(pty.drain(), Bytes{0x0A});
  EXPECT_EQ(info.device_id, 300);
  EXPECT_EQ(info.device_model_number, Corvane::model_number);
  EXPECT_EQ(info.hardware_version, 2);
  EXPECT_EQ(info.firmware_version, 7);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(info.device_id_ext.bytes[i], i);
}

TEST_F(CorvaneTest, CurrentReplyCarriesTheRequestCode) {
  pty.send(message(171, {half, minus_two, four}));
  corvane.RequestCurrent();
  Vector3 current{9.0f, 9.0f, 9.0f};
  corvane.ReceiveCurrent(current);
  EXPECT_EQ(current, (Vector3{0.5f, -2.0f, 4.0f}));
}

TEST_F(CorvaneTest, ReceiveLeavesTheOutputsOnAnotherCode) {
  const Vector3 a{9.0f, 8.0f, 7.0f}, b{6.0f, 5.0f, 4.0f};
  Vector3 first = a, second = b;
  pty.send(unexpected_reply(27));
  corvane.ReceiveState(first, second);
  pty.send(unexpected_reply(43));
  corvane.ReceiveJointState(first, second);
  pty.send(unexpected_reply(43));
  corvane.ReceiveCurrent(first);
  DeviceInfo info{};
  info.device_id = 77;
  info.device_id_ext.bytes[15] = 5;
  pty.send(unexpected_reply(43));
  corvane.ReceiveDeviceInfo(info);
  EXPECT_TRUE(stream.good());
  EXPECT_EQ(first, a);
  EXPECT_EQ(second, b);
  EXPECT_EQ(info.device_id, 77);
  EXPECT_EQ(info.device_id_ext.bytes[15], 5);
}

TEST_F(CorvaneTest, FloatBitPatternsPassBothWays) {
  const Bytes nan_with_payload{0x01, 0x00, 0xC0, 0x7F};
  const Bytes infinity{0x00, 0x00, 0x80, 0x7F};
  const Bytes minus_infinity{0x00, 0x00, 0x80, 0xFF};
  const Bytes tenth{0xCD, 0xCC, 0xCC, 0x3D};
  pty.send(message(171, {nan_with_payload, minus_infinity, tenth}));
  Vector3 current{};
  corvane.ReceiveCurrent(current);
  Bytes back(12);
  std::memcpy(back.data(), current.data(), back.size());  // the host is little-endian too
  EXPECT_EQ(back, joined({nan_with_payload, minus_infinity, tenth}));
  EXPECT_EQ(current[2], 0.1f);

  corvane.SendAngle({current[0], std::numeric_limits<float>::infinity(), current[1]});
  EXPECT_EQ(pty.drain(), message(28, {nan_with_payload, infinity, minus_infinity}));
}

TEST_F(CorvaneTest, ExchangesAllocateNothing) {
  Bytes replies = device_info_reply();
  for (const Bytes& reply : {end_effector_state, end_effector_state, joint_state, joint_state,
                             message(171, {one, two, three})})
    replies.insert(replies.end(), reply.begin(), reply.end());
  pty.send(replies);
  const Vector3 command{1.0f, 2.0f, 3.0f};
  Vector3 current{};
  const std::size_t before = allocations;
  const DeviceInfo info = corvane.device_wakeup();
  const auto force = corvane.end_effector_force(command);
  const auto position = corvane.end_effector_position(command);
  const auto torques = corvane.joint_torques(command);
  const auto angles = corvane.joint_angles(command);
  corvane.RequestCurrent();
  corvane.ReceiveCurrent(current);
  EXPECT_EQ(allocations - before, 0u);
  EXPECT_EQ(info.device_id, 300);
  EXPECT_EQ(force.velocity[2], -2.0f);
  EXPECT_EQ(position.position[0], 1.0f);
  EXPECT_EQ(torques.joint_velocity[0], -1.0f);
  EXPECT_EQ(angles.joint_position[1], 2.0f);
  EXPECT_EQ(current, command);
}

// Records the largest count the library asked read() for.
class LargestRead {
 public:
  LargestRead()
      : hooks({.read = [this](int, void*, std::size_t n) -> std::optional<ssize_t> {
          largest = std::max(largest.load(), n);
          return std::nullopt;
        }}) {}
  std::size_t value() const { return largest; }

 private:
  std::atomic<std::size_t> largest{0};
  ScopedHooks hooks;
};

// A wake-up exchange, with how long it took and the largest read it asked for.
struct WatchedWakeup {
  DeviceInfo info;
  long long ms;
  std::size_t largest;
};

WatchedWakeup wakeup_watching_reads(Corvane& corvane) {
  LargestRead reads;
  WatchedWakeup watched{};
  watched.ms = elapsed_ms([&] { watched.info = corvane.device_wakeup(); });
  watched.largest = reads.value();
  return watched;
}

TEST_F(CorvaneTest, WrongCodeThenSilenceDiscardsAndLeavesTheStreamStale) {
  Bytes partial = end_effector_state;
  partial.resize(10);
  pty.send(partial);
  CapturedFd err(2);
  const auto [info, ms, largest] = wakeup_watching_reads(corvane);
  EXPECT_EQ(largest, Corvane::buffer_size);
  EXPECT_GE(ms, read_limit_low_ms);
  EXPECT_LE(ms, read_limit_high_ms);
  EXPECT_EQ(info.device_id, 0);
  EXPECT_EQ(info.device_model_number, 0);
  EXPECT_EQ(info.device_id_ext.bytes, (DeviceInfo{}.device_id_ext.bytes));
  EXPECT_EQ(pty.drain(), Bytes{0x0A});
  EXPECT_TRUE(stream.eof() && stream.fail());

  // Stale from now on: exchanges give zeros at once and nothing reaches the line.
  pty.send(end_effector_state);
  reset_calls();
  const auto stale_ms = elapsed_ms([&] {
    const auto state = corvane.end_effector_force({1.0f, 2.0f, 3.0f});
    EXPECT_EQ(flat(state.position, state.velocity), (std::array<float, 6>{}));
    EXPECT_EQ(corvane.device_wakeup().device_id, 0);
  });
  EXPECT_LT(stale_ms, at_once_ms);
  EXPECT_EQ(calls(SysCall::read) + calls(SysCall::write), 0u);
  EXPECT_EQ(pty.drain(), Bytes{});
  EXPECT_EQ(err.text(), "");
}

TEST_F(CorvaneTest, ShortBodyGivesZerosWithoutADiscardRead) {
  Bytes reply = device_info_reply();
  reply.pop_back();
  pty.send(reply);
  const auto [info, ms, largest] = wakeup_watching_reads(corvane);
  EXPECT_LE(largest, 21u);
  EXPECT_GE(ms, read_limit_low_ms);
  EXPECT_LE(ms, read_limit_high_ms);
  EXPECT_EQ(info.device_id, 0);
  EXPECT_EQ(info.firmware_version, 0);
  EXPECT_EQ(info.device_id_ext.bytes, (DeviceInfo{}.device_id_ext.bytes));
  // The partial body is in the buffer, where it arrived.
  EXPECT_EQ(Bytes(corvane.rx_buffer.get(), corvane.rx_buffer.get() + 20),
            Bytes(reply.begin() + 1, reply.end()));
}

}  // namespace
