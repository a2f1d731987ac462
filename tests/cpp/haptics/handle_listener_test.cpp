#include "Haptics/HandleListener.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Interpose.h"
#include "PtyPair.h"
#include "Timing.h"

namespace {

using namespace Orvex::Testing;
using namespace std::chrono_literals;
using Orvex::HardwareAPI::Haptics::HandleListener;
using Orvex::HardwareAPI::Haptics::HandleMessage;
using Orvex::HardwareAPI::Haptics::HandleStopReason;
using Orvex::HardwareAPI::Haptics::StartResult;
using Orvex::HardwareAPI::IO::SerialStream;

// Device id 300, error flag 1, hall level 200, quaternion (0.5, -0.5, 0.5, 0.5), then the user
// data.
Bytes status_message(const Bytes& user_data) {
  Bytes message = {0xDA, 0x2C, 0x01, 0x01, 0xC8, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00,
                   0x00, 0xBF, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0x3F,
                   static_cast<std::uint8_t>(user_data.size())};
  message.insert(message.end(), user_data.begin(), user_data.end());
  return message;
}

Bytes counting_bytes(std::size_t n) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i + 1);
  return bytes;
}

const Bytes info_reply = {0xD0, 0x05, 0x2C, 0x01, 0x02, 0x03, 0x04};
const Bytes error_reply = {0xDF, 0x2C, 0x01, 0x07};

// Polls a condition for up to the limit; wide, since the machine may be loaded or emulated.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

class HandleListenerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(listener.start(), StartResult::started); }

  // The next queued message, waiting for it.
  HandleMessage next_message() {
    HandleMessage message;
    EXPECT_TRUE(listener.wait_for_message(5s));
    EXPECT_TRUE(listener.take(message));
    return message;
  }

  PtyPair pty;
  SerialStream stream{pty.path().c_str(), true};
  HandleListener listener{&stream};
};

class HandleListenerStatusTest : public HandleListenerTest,
                                 public ::testing::WithParamInterface<std::size_t> {};

INSTANTIATE_TEST_SUITE_P(UserDataLengths, HandleListenerStatusTest, ::testing::Values(0, 1, 3, 255));

TEST_P(HandleListenerStatusTest, DecodesAStatusMessageIntoTheQueueAndTheLatest) {
  const Bytes user_data = counting_bytes(GetParam());
  pty.send(status_message(user_data));
  const HandleMessage message = next_message();
  ASSERT_EQ(message.kind, HandleMessage::Kind::status);
  EXPECT_EQ(message.status.device_id, 300);
  EXPECT_EQ(message.status.error_flag, 1);
  EXPECT_EQ(message.status.hall_effect_sensor_level, 200);
  EXPECT_EQ(message.status.quaternion[0], 0.5f);
  EXPECT_EQ(message.status.quaternion[1], -0.5f);
  EXPECT_EQ(message.status.quaternion[2], 0.5f);
  EXPECT_EQ(message.status.quaternion[3], 0.5f);
  EXPECT_EQ(Bytes(message.status.user_data,
                  message.status.user_data + message.status.user_data_length),
            user_data);
  EXPECT_GE(message.time, 0.0);

  HandleMessage latest;
  ASSERT_TRUE(listener.latest(latest));
  EXPECT_EQ(latest.status.user_data_length, GetParam());
  HandleMessage none;
  EXPECT_FALSE(listener.info(none));
  EXPECT_EQ(listener.stats().status, 1u);
}

TEST_F(HandleListenerTest, DecodesInformationAndErrorReplies) {
  pty.send(info_reply);
  pty.send(error_reply);
  const HandleMessage info = next_message();
  ASSERT_EQ(info.kind, HandleMessage::Kind::info);
  EXPECT_EQ(info.info.tool_data_remaining, 5);
  EXPECT_EQ(info.info.device_id, 300);
  EXPECT_EQ(info.info.device_model_number, 2);
  EXPECT_EQ(info.info.hardware_version, 3);
  EXPECT_EQ(info.info.firmware_version, 4);
  const HandleMessage error = next_message();
  ASSERT_EQ(error.kind, HandleMessage::Kind::error);
  EXPECT_EQ(error.error.device_id, 300);
  EXPECT_EQ(error.error.error_code, 7);

  HandleMessage latest_info;
  ASSERT_TRUE(listener.info(latest_info));
  EXPECT_EQ(latest_info.info.device_id, 300);
  HandleMessage no_status;
  EXPECT_FALSE(listener.latest(no_status));
  const auto stats = listener.stats();
  EXPECT_EQ(stats.messages, 2u);
  EXPECT_EQ(stats.info, 1u);
  EXPECT_EQ(stats.errors, 1u);
  EXPECT_EQ(stats.status, 0u);
}

TEST(HandleListenerCapacity, AQueueOfNoMessagesIsRefusedAsPythonRefusesIt) {
  PtyPair pty;
  SerialStream stream{pty.path().c_str(), true};
  HandleListener empty{&stream, 0};
  EXPECT_STREQ(HandleListener::capacity_problem(0), "queue_capacity must be at least 1");
  EXPECT_EQ(HandleListener::capacity_problem(1), nullptr);
  EXPECT_EQ(empty.start(), StartResult::invalid_settings);
  EXPECT_FALSE(empty.running());
}

TEST_F(HandleListenerTest, CountsAnUnknownHeaderCodeAndGoesOn) {
  pty.send({0x0B});
  pty.send(status_message({9}));
  EXPECT_EQ(next_message().kind, HandleMessage::Kind::status);
  EXPECT_EQ(listener.stats().unknown, 1u);
  EXPECT_TRUE(listener.running());
}

struct Command {
  const char* name;
  std::function<bool(HandleListener&)> queue;
  Bytes wire;
};

void PrintTo(const Command& command, std::ostream* os) { *os << command.name; }

class HandleListenerCommandTest : public HandleListenerTest,
                                  public ::testing::WithParamInterface<Command> {};

const Bytes longest_user_data = counting_bytes(255);

INSTANTIATE_TEST_SUITE_P(
    Commands, HandleListenerCommandTest,
    ::testing::Values(
        Command{"Wakeup", [](HandleListener& l) { return l.wakeup(); }, {0x0A}},
        Command{"StatusRequest", [](HandleListener& l) { return l.request_status(); }, {0xDA}},
        Command{"StateWithoutData",
                [](HandleListener& l) { return l.send_state(300, 0, nullptr); },
                {0xDB, 0x2C, 0x01, 0x00}},
        Command{"StateWithThreeBytes",
                [](HandleListener& l) {
                  const std::uint8_t data[] = {7, 8, 9};
                  return l.send_state(0x0102, 3, data);
                },
                {0xDB, 0x02, 0x01, 0x03, 0x07, 0x08, 0x09}},
        Command{"StateWithLongestData",
                [](HandleListener& l) {
                  return l.send_state(0xFFFF, 255, longest_user_data.data());
                },
                [] {
                  Bytes wire = {0xDB, 0xFF, 0xFF, 0xFF};
                  wire.insert(wire.end(), longest_user_data.begin(), longest_user_data.end());
                  return wire;
                }()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(HandleListenerCommandTest, GoesOutExactlyAsQueued) {
  ASSERT_TRUE(GetParam().queue(listener));
  EXPECT_EQ(pty.receive(GetParam().wire.size()), GetParam().wire);
  EXPECT_EQ(pty.drain(), Bytes{});
}

TEST_F(HandleListenerTest, ACommandGoesOutWhileAMessageIsArriving) {
  const Bytes message = status_message({1, 2, 3});
  pty.send(Bytes(message.begin(), message.begin() + 11));
  ASSERT_TRUE(listener.request_status());
  pty.send(Bytes(message.begin() + 11, message.end()));
  EXPECT_EQ(pty.receive(1), Bytes{0xDA});
  const HandleMessage received = next_message();
  EXPECT_EQ(received.status.user_data_length, 3);
  EXPECT_TRUE(listener.running());
}

TEST_F(HandleListenerTest, AMessageCutOffIsDroppedAtItsDeadlineAndTheListenerGoesOn) {
  const Bytes message = status_message({});
  pty.send(Bytes(message.begin(), message.begin() + 8));
  const long long took =
      elapsed_ms([&] { ASSERT_TRUE(eventually([&] { return listener.stats().refused == 1; })); });
  // 100 ms from its first byte, not the second a read limit would take (the margin between is a
  // loaded machine's).
  EXPECT_GE(took, 80);
  EXPECT_LT(took, 1000);
  EXPECT_TRUE(listener.running());
  EXPECT_EQ(listener.stats().messages, 0u);
  // The next message is read afresh, not as the rest of the one cut off.
  pty.send(status_message({4, 5}));
  EXPECT_EQ(next_message().status.user_data_length, 2);
}

// Bytes as a faulty line delivers them, then two whole statuses: whatever the listener makes of
// the first part, it delivers nothing a handle did not send, and both statuses after it.
struct Fault {
  const char* name;
  Bytes bytes;
};

void PrintTo(const Fault& fault, std::ostream* os) { *os << fault.name; }

Bytes with_length(Bytes message, std::uint8_t length) {
  message[21] = length;
  return message;
}

Bytes cut(const Bytes& message, std::size_t keep) {
  return Bytes(message.begin(), message.begin() + keep);
}

class HandleListenerFaultTest : public HandleListenerTest,
                                public ::testing::WithParamInterface<Fault> {};

INSTANTIATE_TEST_SUITE_P(
    Faults, HandleListenerFaultTest,
    ::testing::Values(
        // A flipped length byte makes a status claim the messages after it as user data.
        Fault{"LengthClaimsTheNextTwo", with_length(status_message({}), 2 * 22)},
        Fault{"LengthClaimsPartOfTheNext", with_length(status_message({}), 30)},
        Fault{"LengthClaimsTheNextsCodeAndId", with_length(status_message({}), 3)},
        Fault{"LengthClaimsTheNextsFirstTwoBytes", with_length(status_message({}), 2)},
        Fault{"StatusCutInItsQuaternion", cut(status_message({}), 10)},
        Fault{"QuaternionExponentFlipped", [] {
                Bytes flipped = status_message({});
                flipped[8] ^= 0x40;
                return flipped;
              }()},
        Fault{"StrayBytes", Bytes{0x00, 0x2C, 0x01}}),
    [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

TEST_P(HandleListenerFaultTest, DeliversNothingFalseAndTheMessagesAfterIt) {
  Bytes line = GetParam().bytes;
  for (const std::uint8_t mark : {7, 8}) {
    const Bytes status = status_message({mark});
    line.insert(line.end(), status.begin(), status.end());
  }
  pty.send(line);
  // A line that goes quiet lets whatever is unfinished break off.
  std::vector<std::uint8_t> marks;
  ASSERT_TRUE(eventually([&] {
    HandleMessage message;
    while (listener.take(message)) {
      EXPECT_EQ(message.kind, HandleMessage::Kind::status);
      EXPECT_EQ(message.status.device_id, 300);
      EXPECT_EQ(message.status.quaternion[1], -0.5f);
      EXPECT_EQ(message.status.user_data_length, 1);
      marks.push_back(message.status.user_data[0]);
    }
    return (!marks.empty() && marks.back() == 8) || !listener.running();
  }));
  // Cut short or misread, the fault's bytes may take the first status down with them; the
  // second is read whole, and no other comes.
  EXPECT_TRUE(marks == (std::vector<std::uint8_t>{7, 8}) || marks == std::vector<std::uint8_t>{8})
      << "delivered " << marks.size();
  EXPECT_TRUE(listener.running());
}

// A status of handle 1 whose user data is a 4-byte little-endian counter.
Bytes counter_status(std::uint32_t count) {
  Bytes message = status_message(
      {static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8),
       static_cast<std::uint8_t>(count >> 16), static_cast<std::uint8_t>(count >> 24)});
  message[1] = 0x01;
  message[2] = 0x00;
  return message;
}

// A counter's data may hold the start of a status of its own handle (474 is DA 01 00 00): what
// follows it frames, so it is the handle's data, and no status is lost.
TEST_F(HandleListenerTest, AStatusWhoseDataLooksLikeAStatusStartIsKeptWhenWhatFollowsFrames) {
  constexpr std::uint32_t statuses = 1000, burst = 50;
  for (std::uint32_t first = 1; first <= statuses; first += burst) {
    Bytes line;
    for (std::uint32_t count = first; count < first + burst; ++count) {
      const Bytes status = counter_status(count);
      line.insert(line.end(), status.begin(), status.end());
    }
    pty.send(line);
    // Bursts of what a wireless link delivers at once; the pseudo-terminal holds a few.
    ASSERT_TRUE(eventually([&] { return listener.stats().messages >= first + burst - 1; }));
  }
  std::vector<std::uint32_t> counts;
  HandleMessage message;
  while (listener.take(message))
    counts.push_back(message.status.user_data[0] | message.status.user_data[1] << 8 |
                     message.status.user_data[2] << 16 |
                     static_cast<std::uint32_t>(message.status.user_data[3]) << 24);
  ASSERT_EQ(counts.size(), statuses);
  for (std::uint32_t i = 0; i < statuses; ++i) ASSERT_EQ(counts[i], i + 1);
  EXPECT_EQ(listener.stats().refused, 0u);
  EXPECT_EQ(listener.stats().unknown, 0u);

  // The last before a quiet line has nothing after it to tell: delivered at its deadline.
  pty.send(counter_status(474));
  const HandleMessage last = next_message();
  EXPECT_EQ(last.status.user_data[0], 0xDA);
  EXPECT_EQ(last.status.user_data[1], 0x01);
  EXPECT_EQ(listener.stats().refused, 0u);
}

TEST_F(HandleListenerTest, AHungUpPortStopsItAsDeviceLostWithoutWaitingOutTheReadLimit) {
  pty.close_master();
  const long long took =
      elapsed_ms([&] { ASSERT_TRUE(eventually([&] { return !listener.running(); })); });
  EXPECT_LT(took, read_limit_low_ms);
  EXPECT_EQ(listener.stats().stop_reason, HandleStopReason::device_lost);
  // A stopped listener wakes a waiting reader at once.
  EXPECT_LT(elapsed_ms([&] { EXPECT_FALSE(listener.wait_for_message(5s)); }), at_once_ms);
}

TEST_F(HandleListenerTest, AFullQueueDropsTheOldestAndCountsThem) {
  HandleListener small{&stream, 4};
  listener.stop();
  ASSERT_EQ(small.start(), StartResult::started);
  for (std::uint8_t i = 0; i < 10; ++i) pty.send(status_message({i}));
  ASSERT_TRUE(eventually([&] { return small.stats().status == 10; }));
  EXPECT_EQ(small.stats().dropped, 6u);
  std::vector<unsigned> kept;
  HandleMessage message;
  while (small.take(message)) kept.push_back(message.status.user_data[0]);
  EXPECT_EQ(kept, (std::vector<unsigned>{6, 7, 8, 9}));
  EXPECT_EQ(small.stats().dropped, 6u);
  // The latest status is kept apart from the queue.
  ASSERT_TRUE(small.latest(message));
  EXPECT_EQ(message.status.user_data[0], 9);
}

TEST_F(HandleListenerTest, WaitingWakesWhenAMessageArrives) {
  std::thread device([&] {
    std::this_thread::sleep_for(200ms);
    pty.send(error_reply);
  });
  const long long took = elapsed_ms([&] { EXPECT_TRUE(listener.wait_for_message(10s)); });
  device.join();
  EXPECT_LT(took, 5000);
  EXPECT_GE(took, 150);
}

TEST_F(HandleListenerTest, AnIdleListenerNeverReadsThePort) {
  std::this_thread::sleep_for(100ms);
  reset_calls();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(calls(SysCall::read), 0u);
  EXPECT_EQ(calls(SysCall::usleep), 0u);
  EXPECT_TRUE(listener.running());
}

TEST_F(HandleListenerTest, TenSecondsOfSilenceThenAMessageStillArrives) {
  std::this_thread::sleep_for(10s);
  ASSERT_TRUE(listener.running());
  pty.send(status_message({4, 2}));
  EXPECT_EQ(next_message().status.user_data_length, 2);
}

TEST_F(HandleListenerTest, OneOwnerPerStream) {
  HandleListener second{&stream};
  EXPECT_EQ(second.start(), StartResult::stream_claimed);
  EXPECT_FALSE(second.running());
  listener.stop();
  EXPECT_EQ(second.start(), StartResult::started);
  EXPECT_EQ(listener.start(), StartResult::stream_claimed);
}

TEST_F(HandleListenerTest, StopIsPromptIdempotentAndSaysWhy) {
  EXPECT_EQ(listener.start(), StartResult::started) << "starting a running listener is no error";
  EXPECT_LT(elapsed_ms([&] { listener.stop(); }), at_once_ms);
  EXPECT_FALSE(listener.running());
  EXPECT_EQ(listener.stats().stop_reason, HandleStopReason::stop);
  listener.stop();
  EXPECT_EQ(listener.start(), StartResult::started);
  EXPECT_EQ(listener.stats().stop_reason, HandleStopReason::none);
}

TEST(HandleListenerWithoutPort, StopsAsDeviceLostAtOnce) {
  SerialStream stream{"/nonexistent/orvex-port", true};
  HandleListener listener{&stream};
  ASSERT_EQ(listener.start(), StartResult::started);
  ASSERT_TRUE(eventually([&] { return !listener.running(); }, 1000ms));
  EXPECT_EQ(listener.stats().stop_reason, HandleStopReason::device_lost);
}

}  // namespace
