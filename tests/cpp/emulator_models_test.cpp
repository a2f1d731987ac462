#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "CorvaneDevice.h"
#include "CorvaneMessages.h"
#include "CorvaneModel.h"
#include "Device/LittleEndian.h"
#include "FaultInjector.h"
#include "HandleDevice.h"
#include "HandleMessages.h"
#include "HandleModel.h"
#include "Options.h"
#include "ParamNames.h"

namespace {

using namespace Orvex::Emulator;
using Orvex::Testing::ByName;
namespace le = Orvex::HardwareAPI::Devices::LittleEndian;

// Runs the arm as a 1 kHz host would, from..to seconds.
void run(CorvaneModel& arm, double from_s, double to_s) {
  for (double t = from_s; t <= to_s + 1e-9; t += 0.001) arm.advance_to(t);
}

double speed(const Vector3& v) {
  return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

TEST(CorvaneModel, ForceMovesTheArmAlongItAndDampingStopsItAfterwards) {
  CorvaneModel arm;
  arm.advance_to(0);
  ASSERT_TRUE(arm.apply_force({0, 2, 0}));
  run(arm, 0, 0.1);
  const Vector3 moving = arm.end_effector().velocity();
  EXPECT_GT(arm.end_effector().position()[1], 0.001);
  EXPECT_GT(moving[1], 0.1);
  EXPECT_EQ(arm.end_effector().position()[0], 0);
  EXPECT_EQ(arm.end_effector().position()[2], 0);

  arm.apply_force({0, 0, 0});
  run(arm, 0.1, 0.6);
  EXPECT_LT(speed(arm.end_effector().velocity()), 0.05 * moving[1]);
}

TEST(CorvaneModel, ALongPauseIntegratesOnlyTheCappedStep) {
  CorvaneModel paused, prompt;
  for (CorvaneModel* arm : {&paused, &prompt}) {
    arm->advance_to(0);
    arm->apply_force({3, 0, 0});
  }
  paused.advance_to(10);
  prompt.advance_to(CorvaneModel::max_step_s);
  EXPECT_DOUBLE_EQ(paused.end_effector().position()[0], prompt.end_effector().position()[0]);
  // A clock that steps back moves nothing.
  const double x = paused.end_effector().position()[0];
  paused.advance_to(5);
  EXPECT_EQ(paused.end_effector().position()[0], x);
}

TEST(CorvaneModel, TheWorkspaceHoldsTheArmAndLetsItBackOut) {
  CorvaneModel arm;
  arm.advance_to(0);
  arm.apply_force({100, -100, 100});
  run(arm, 0, 1.5);
  // The end stops are stiff walls: 10 N sinks the arm a tenth of a millimetre at most.
  const double wall = ArmFigures{}.workspace_m;
  const Vector3 at = arm.end_effector().position();
  EXPECT_NEAR(at[0], wall, 1.5e-4);
  EXPECT_NEAR(at[1], -wall, 1.5e-4);
  EXPECT_GE(at[2], wall);
  EXPECT_LT(speed(arm.end_effector().velocity()), 1e-6);
  EXPECT_EQ(arm.end_effector().effort(), (Vector3{10, -10, 10}));

  arm.apply_force({-1, 0, 0});
  run(arm, 1.5, 1.6);
  EXPECT_LT(arm.end_effector().position()[0], wall);
  EXPECT_LT(arm.end_effector().velocity()[0], 0);
}

struct Target {
  const char* name;
  Vector3 asked;
  Vector3 reached;
};

class CorvanePositionCommand : public ::testing::TestWithParam<Target> {};

TEST_P(CorvanePositionCommand, ConvergesWithinTheWorkspace) {
  CorvaneModel arm;
  arm.advance_to(0);
  ASSERT_TRUE(arm.move_to(GetParam().asked));
  run(arm, 0, 1.5);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(arm.end_effector().position()[i], GetParam().reached[i], 1e-3) << i;
    EXPECT_NEAR(arm.end_effector().velocity()[i], 0, 1e-2) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, CorvanePositionCommand,
    ::testing::Values(Target{"inside", {0.05, -0.02, 0.01}, {0.05, -0.02, 0.01}},
                      Target{"beyond", {0.5, 0, -3}, {0.1, 0, -0.1}}),
    ByName());

TEST(CorvaneModel, JointAnglesConvergeAndTorquesStopAtTheJointLimits) {
  CorvaneModel arm;
  arm.advance_to(0);
  arm.move_joints_to({0.5, -0.25, 1.0});
  run(arm, 0, 1.5);
  EXPECT_NEAR(arm.joints().position()[0], 0.5, 1e-3);
  EXPECT_NEAR(arm.joints().position()[1], -0.25, 1e-3);
  EXPECT_NEAR(arm.joints().position()[2], 1.0, 1e-3);

  arm.apply_joint_torques({5, 0, -5});
  run(arm, 1.5, 3.0);
  EXPECT_NEAR(arm.joints().position()[0], CorvaneModel::joint_limit_rad, 2e-3);
  EXPECT_NEAR(arm.joints().position()[2], -CorvaneModel::joint_limit_rad, 2e-3);
}

TEST(CorvaneModel, CurrentsFollowTheLastCommandedEffort) {
  CorvaneModel arm;
  arm.advance_to(0);
  arm.apply_force({1, -2, 50});
  Vector3 amps = arm.currents();
  EXPECT_NEAR(amps[0], 0.2, 1e-12);
  EXPECT_NEAR(amps[1], -0.4, 1e-12);
  EXPECT_NEAR(amps[2], 2.0, 1e-12);  // saturated at 10 N

  arm.apply_joint_torques({0.5, 0, -0.25});
  amps = arm.currents();
  EXPECT_NEAR(amps[0], 1.0, 1e-12);
  EXPECT_NEAR(amps[2], -0.5, 1e-12);
  EXPECT_EQ(arm.end_effector().effort(), (Vector3{0, 0, 0}));  // let go
}

TEST(CorvaneModel, ACommandThatIsNotFiniteIsRefusedAndTheDriveStays) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  CorvaneModel arm;
  arm.advance_to(0);
  arm.apply_force({1, 0, 0});
  EXPECT_FALSE(arm.apply_force({nan, 0, 0}));
  EXPECT_FALSE(arm.move_to({0, inf, 0}));
  EXPECT_FALSE(arm.move_joints_to({0, 0, -inf}));
  run(arm, 0, 0.2);
  EXPECT_EQ(arm.end_effector().effort(), (Vector3{1, 0, 0}));
  EXPECT_TRUE(std::isfinite(arm.end_effector().position()[0]));
}

class HandlePoseTimes : public ::testing::TestWithParam<double> {};

TEST_P(HandlePoseTimes, QuaternionStaysUnit) {
  const auto q = HandleModel::pose_at(GetParam()).quaternion;
  const double norm = std::sqrt(double(q[0]) * q[0] + double(q[1]) * q[1] + double(q[2]) * q[2] +
                                double(q[3]) * q[3]);
  EXPECT_NEAR(norm, 1.0, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Times, HandlePoseTimes,
                         ::testing::Values(0.0, 0.37, 12.5, 3600.0, 86400.0 * 30));

TEST(HandleModel, TheTriggerSweepsItsWholeRangeOncePerPeriod) {
  EXPECT_EQ(HandleModel::pose_at(0).hall_level, 0);
  EXPECT_EQ(HandleModel::pose_at(HandleModel::squeeze_period_s / 2).hall_level, 255);
  int lowest = 255, highest = 0;
  for (double t = 0; t < HandleModel::squeeze_period_s; t += 0.01) {
    lowest = std::min<int>(lowest, HandleModel::pose_at(t).hall_level);
    highest = std::max<int>(highest, HandleModel::pose_at(t).hall_level);
  }
  EXPECT_EQ(lowest, 0);
  EXPECT_EQ(highest, 255);
}

TEST(HandleModel, TheErrorFlagStaysUntilOneStatusCarriedIt) {
  HandleModel grip;
  EXPECT_EQ(grip.take_error_flag(), 0);
  grip.raise_error();
  EXPECT_EQ(grip.take_error_flag(), 1);
  EXPECT_EQ(grip.take_error_flag(), 0);
}

TEST(CorvaneMessages, DeviceInformationCarriesIdModelAndUuidInWireOrder) {
  DeviceIdentity identity{300, {}};
  for (std::uint8_t i = 0; i < 16; ++i) identity.uuid[i] = static_cast<std::uint8_t>(0xA0 + i);
  Message expected{0x0B, 0x2C, 0x01, 0x04, 0x01, 0x01};
  for (std::uint8_t i = 0; i < 16; ++i) expected.push_back(static_cast<std::uint8_t>(0xA0 + i));
  EXPECT_EQ(CorvaneMessages::encode_device_info(identity), expected);
}

TEST(CorvaneMessages, VectorsTravelAsLittleEndianFloats) {
  const Message force{0x2A, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40};
  EXPECT_EQ(CorvaneMessages::decode_vector(force), (WireVector{1, 2, 3}));

  const Message state =
      CorvaneMessages::encode_state(CorvaneMessages::joint_state, {1, 2, 3}, {-1, 0.5f, 0});
  ASSERT_EQ(state.size(), 25u);
  EXPECT_EQ(state[0], 27);
  EXPECT_EQ(le::get_f32(&state[9]), 3.0f);
  EXPECT_EQ(le::get_f32(&state[13]), -1.0f);
  EXPECT_EQ(le::get_f32(&state[17]), 0.5f);

  const Message current = CorvaneMessages::encode_current({0.25f, 0, 0});
  EXPECT_EQ(current, (Message{0xAB, 0, 0, 0x80, 0x3E, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(HandleMessages, RepliesLayTheirFieldsOutAsTheHostDecodesThem) {
  EXPECT_EQ(HandleMessages::encode_info(300), (Message{0xD0, 0x00, 0x2C, 0x01, 0x02, 0x01, 0x01}));
  EXPECT_EQ(HandleMessages::encode_error(300, 1), (Message{0xDF, 0x2C, 0x01, 0x01}));

  const HandlePose pose{{1, 0, 0, 0}, 0x80};
  const Message status = HandleMessages::encode_status(0x0102, pose, 1, {7, 8, 9});
  const Message expected{0xDA, 0x02, 0x01, 0x01, 0x80, 0, 0, 0x80, 0x3F, 0, 0, 0, 0,
                         0,    0,    0,    0,    0,    0, 0, 0,    3,    7, 8, 9};
  EXPECT_EQ(status, expected);
}

struct FrameCase {
  const char* name;
  FrameRule rule;
  Message bytes;
  Frame::Kind kind;
  std::size_t length;
};

class Frames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Frames, HeaderCodeAndLengthByteFixTheLength) {
  const Frame f = GetParam().rule(GetParam().bytes.data(), GetParam().bytes.size());
  EXPECT_EQ(f.kind, GetParam().kind);
  if (f.kind != Frame::Kind::incomplete) {
    EXPECT_EQ(f.length, GetParam().length);
  }
}

using K = Frame::Kind;
constexpr FrameRule corvane = CorvaneMessages::frame;
constexpr FrameRule handle = HandleMessages::frame;
INSTANTIATE_TEST_SUITE_P(
    Codes, Frames,
    ::testing::Values(FrameCase{"corvane_10", corvane, {10}, K::command, 1},
                      FrameCase{"corvane_171", corvane, {171}, K::command, 1},
                      FrameCase{"corvane_42", corvane, {42}, K::command, 13},
                      FrameCase{"corvane_44", corvane, {44}, K::command, 13},
                      FrameCase{"corvane_26", corvane, {26}, K::command, 13},
                      FrameCase{"corvane_28", corvane, {28}, K::command, 13},
                      FrameCase{"corvane_43", corvane, {43}, K::unknown, 1},
                      FrameCase{"corvane_0", corvane, {0}, K::unknown, 1},
                      FrameCase{"handle_10", handle, {10}, K::command, 1},
                      FrameCase{"handle_218", handle, {218}, K::command, 1},
                      FrameCase{"handle_219_1_0", handle, {219, 1, 0}, K::incomplete, 0},
                      FrameCase{"handle_219_1_0_0", handle, {219, 1, 0, 0}, K::command, 4},
                      FrameCase{"handle_219_1_0_255", handle, {219, 1, 0, 255}, K::command, 259},
                      FrameCase{"handle_208", handle, {208}, K::unknown, 1}),
    ByName());

// Feeds the host's bytes in the given pieces and collects every reply.
std::vector<Message> replies(EmulatedDevice& device, const std::vector<Message>& reads,
                             double step_s = 0.001) {
  std::vector<Message> out;
  double t = 0;
  for (const Message& read : reads) {
    for (Exchange& e : device.receive(read.data(), read.size(), t += step_s))
      if (e.reply) out.push_back(*e.reply);
  }
  return out;
}

const Message force_command{0x2A, 0, 0, 0x80, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0};

TEST(CommandStream, ACommandSplitOverReadsIsAnsweredOnceWhenWhole) {
  CorvaneDevice arm({1, {}});
  std::vector<Message> reads;
  for (const std::uint8_t b : force_command) reads.push_back({b});
  const auto got = replies(arm, reads, 0.0001);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].size(), 25u);
  EXPECT_EQ(got[0][0], 43);
}

TEST(CommandStream, CommandsJoinedInOneReadAreAnsweredInOrder) {
  CorvaneDevice arm({1, {}});
  Message joined{0x0A};
  joined.insert(joined.end(), force_command.begin(), force_command.end());
  joined.push_back(0x55);  // no command starts so: skipped unanswered
  joined.push_back(0xAB);
  const auto got = replies(arm, {joined});
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0][0], 11);
  EXPECT_EQ(got[1][0], 43);
  EXPECT_EQ(got[2][0], 171);
}

TEST(CommandStream, UserDataSplitAtItsLengthByteReachesTheNextStatus) {
  HandleDevice grip(7, 0);
  const auto got = replies(grip, {{0xDB, 0x07}, {0x00, 0x02}, {0xAA}, {0xBB, 0xDA, 0x33}});
  ASSERT_EQ(got.size(), 2u);
  ASSERT_EQ(got[0].size(), 24u);
  EXPECT_EQ(got[0][21], 2);
  EXPECT_EQ(got[0][22], 0xAA);
  EXPECT_EQ(got[0][23], 0xBB);
  EXPECT_EQ(got[1], HandleMessages::encode_error(7, HandleMessages::unknown_command));
}

TEST(CommandStream, APartLeftByAHostThatGaveUpIsNotGluedToTheNextCommand) {
  CorvaneDevice arm({1, {}});
  const Message part(force_command.begin(), force_command.begin() + 5);
  auto first = arm.receive(part.data(), part.size(), 0);
  EXPECT_TRUE(first.empty());
  const std::uint8_t wakeup = 0x0A;
  auto later = arm.receive(&wakeup, 1, 1.0);
  ASSERT_EQ(later.size(), 2u);
  EXPECT_EQ(later[0].command, part);
  EXPECT_FALSE(later[0].reply);
  ASSERT_TRUE(later[1].reply);
  EXPECT_EQ((*later[1].reply)[0], 11);
}

TEST(HandleStreaming, StartsWithTheFirstCommandAndSkipsMissedTicks) {
  HandleDevice grip(7, 100);
  EXPECT_FALSE(grip.next_unasked_s());
  EXPECT_FALSE(grip.unasked(5));
  const std::uint8_t wakeup = 0x0A;
  grip.receive(&wakeup, 1, 1.0);
  ASSERT_TRUE(grip.next_unasked_s());
  EXPECT_DOUBLE_EQ(*grip.next_unasked_s(), 1.01);
  EXPECT_FALSE(grip.unasked(1.005));
  const auto status = grip.unasked(1.01);
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)[0], 218);
  EXPECT_TRUE(grip.unasked(1.5));
  EXPECT_FALSE(grip.unasked(1.5));
  EXPECT_DOUBLE_EQ(*grip.next_unasked_s(), 1.51);
}

Message sample_reply() {
  return CorvaneMessages::encode_state(CorvaneMessages::end_effector_state, {1, 2, 3}, {4, 5, 6});
}

TEST(FaultInjector, EachFaultHarmsTheMessageAsNamed) {
  const Message whole = sample_reply();
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    Message m = whole;
    EXPECT_EQ(FaultInjector({}, seed).apply(m), "");
    EXPECT_EQ(m, whole);

    m = whole;
    EXPECT_EQ(FaultInjector({1, 0, 0}, seed).apply(m), "dropped");
    EXPECT_TRUE(m.empty());

    m = whole;
    FaultInjector({0, 1, 0}, seed).apply(m);
    ASSERT_GE(m.size(), 1u);
    EXPECT_LT(m.size(), whole.size());
    EXPECT_TRUE(std::equal(m.begin(), m.end(), whole.begin()));

    m = whole;
    FaultInjector({0, 0, 1}, seed).apply(m);
    int flipped = 0;
    for (std::size_t i = 0; i < m.size(); ++i) flipped += __builtin_popcount(m[i] ^ whole[i]);
    EXPECT_EQ(flipped, 1);
  }
}

TEST(FaultInjector, TheSameSeedHarmsTheSameMessages) {
  auto outcomes = [](std::uint64_t seed) {
    FaultInjector faults({0.3, 0.3, 0.3}, seed);
    std::vector<Message> out;
    for (int i = 0; i < 50; ++i) {
      Message m = sample_reply();
      faults.apply(m);
      out.push_back(m);
    }
    return out;
  };
  EXPECT_EQ(outcomes(42), outcomes(42));
  EXPECT_NE(outcomes(42), outcomes(43));
}

TEST(Options, DeviceOptionsConfigureTheDeviceBeforeThem) {
  const Options o = parse_options({"-v", "--handle", "--stream=50", "--link", "/dev/ttyUSB9",
                                   "--corvane", "--uuid", "00112233-4455-6677-8899-aabbccddeeff",
                                   "--device-id", "0x12C", "--drop", "0.25", "--seed", "9"});
  ASSERT_EQ(o.devices.size(), 2u);
  EXPECT_EQ(o.devices[0].kind, DeviceKind::handle);
  EXPECT_EQ(o.devices[0].stream_hz, 50);
  EXPECT_EQ(o.devices[0].link, "/dev/ttyUSB9");
  EXPECT_EQ(o.devices[0].identity.device_id, 1);
  EXPECT_EQ(o.devices[1].kind, DeviceKind::corvane);
  EXPECT_FALSE(o.devices[1].link);
  EXPECT_EQ(o.devices[1].identity.device_id, 300);
  EXPECT_EQ(o.devices[1].identity.uuid[0], 0x00);
  EXPECT_EQ(o.devices[1].identity.uuid[15], 0xFF);
  EXPECT_EQ(o.faults.drop, 0.25);
  EXPECT_EQ(o.seed, 9u);
  EXPECT_TRUE(o.verbose);
}

class BadCommandLines : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BadCommandLines, AreRefusedWithAReason) {
  try {
    parse_options(GetParam());
    FAIL() << "accepted";
  } catch (const UsageError& e) {
    EXPECT_NE(std::string(e.what()), "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadCommandLines,
    ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"--link", "x"},
                      std::vector<std::string>{"--corvane", "--link"},
                      std::vector<std::string>{"--corvane", "--link", "a", "--link", "b"},
                      std::vector<std::string>{"--corvane", "--stream", "5"},
                      std::vector<std::string>{"--handle", "--uuid",
                                               "00112233445566778899aabbccddeeff"},
                      std::vector<std::string>{"--corvane", "--uuid", "0011"},
                      std::vector<std::string>{"--corvane", "--device-id", "70000"},
                      std::vector<std::string>{"--corvane", "--device-id", "-1"},
                      std::vector<std::string>{"--corvane", "--drop", "1.5"},
                      std::vector<std::string>{"--corvane", "--garble", "nan"},
                      std::vector<std::string>{"--corvane", "--verbose=1"},
                      std::vector<std::string>{"--corvane", "--bogus"},
                      std::vector<std::string>{"--handle", "--hand", "h.csv"},
                      std::vector<std::string>{"--corvane", "--hand-loop"},
                      std::vector<std::string>{"--corvane", "--hand", "h.csv", "--control", "s"},
                      std::vector<std::string>{"--corvane", "--mass", "0"},
                      std::vector<std::string>{"--corvane", "--max-force", "1e9"},
                      std::vector<std::string>{"--corvane", "--workspace", "-0.1"},
                      std::vector<std::string>{"--corvane", "--truth", ""}));

}  // namespace
