#include "Devices/Handle.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "CapturedFd.h"
#include "Interpose.h"
#include "PtyPair.h"
#include "Timing.h"

namespace {

using namespace Orvex::Testing;
using Orvex::HardwareAPI::Devices::Handle;
using Orvex::HardwareAPI::Devices::HandleErrorResponseRecord;
using Orvex::HardwareAPI::Devices::HandleInfoRecord;
using Orvex::HardwareAPI::Devices::HandleStatusMessageRecord;
using Orvex::HardwareAPI::IO::SerialStream;

// Keeps every callback in the order it came, with what it was given.
class RecordingHandle : public Handle {
 public:
  using Handle::Handle;

  std::vector<std::string> calls;
  std::array<unsigned, 5> info_fields{};
  HandleInfoRecord info{};
  std::uint16_t status_device_id = 0;
  std::array<float, 4> status_quaternion{};
  std::array<unsigned, 3> status_bytes{};  // error_flag, hall level, user_data_length
  Bytes status_user_data;
  HandleStatusMessageRecord status{};
  std::array<unsigned, 2> error_fields{};
  HandleErrorResponseRecord error{};
  std::function<void()> on_info_fields = [] {};

  void OnReceiveHandleInfoRecord(const HandleInfoRecord& record) override {
    calls.push_back("InfoRecord");
    info = record;
  }
  void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                           std::uint8_t device_model_number, std::uint8_t hardware_version,
                           std::uint8_t firmware_version) override {
    calls.push_back("Info");
    info_fields = {tool_data_remaining, device_id, device_model_number, hardware_version,
                   firmware_version};
    on_info_fields();
  }
  void OnReceiveHandleStatusMessageRecord(const HandleStatusMessageRecord& record) override {
    calls.push_back("StatusRecord");
    status = record;
  }
  void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                    std::uint8_t error_flag, std::uint8_t hall_effect_sensor_level,
                                    std::uint8_t user_data_length,
                                    const std::uint8_t* user_data) override {
    calls.push_back("Status");
    status_device_id = device_id;
    std::copy(quaternion, quaternion + 4, status_quaternion.begin());
    status_bytes = {error_flag, hall_effect_sensor_level, user_data_length};
    status_user_data.assign(user_data, user_data + user_data_length);
  }
  void OnReceiveHandleErrorResponseRecord(const HandleErrorResponseRecord& record) override {
    calls.push_back("ErrorRecord");
    error = record;
  }
  void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code) override {
    calls.push_back("Error");
    error_fields = {device_id, error_code};
  }
};

// Device id 300, error flag 1, hall level 200, quaternion (1, -0.5, 0.25, 2), then the user data.
Bytes status_message(const Bytes& user_data) {
  Bytes message = {0xDA, 0x2C,
                   0x01, 0x01,
                   0xC8, 0x00,
                   0x00, 0x80,
                   0x3F, 0x00,
                   0x00, 0x00,
                   0xBF, 0x00,
                   0x00, 0x80,
                   0x3E, 0x00,
                   0x00, 0x00,
                   0x40, static_cast<std::uint8_t>(user_data.size())};
  message.insert(message.end(), user_data.begin(), user_data.end());
  return message;
}

Bytes counting_bytes(std::size_t n, std::uint8_t first = 1) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

const Bytes info_reply = {0xD0, 0x05, 0x2C, 0x01, 0x02, 0x03, 0x04};
const Bytes error_reply = {0xDF, 0x2C, 0x01, 0x07};

class HandleTest : public ::testing::Test {
 protected:
  PtyPair pty;
  SerialStream stream{pty.path().c_str(), true};
  RecordingHandle handle{&stream};
};

struct Command {
  const char* name;
  std::function<void(Handle&)> send;
  Bytes wire;
};

void PrintTo(const Command& command, std::ostream* os) {
  *os << command.name;
}

class HandleCommandTest : public HandleTest, public ::testing::WithParamInterface<Command> {};

const Bytes user_data_255 = counting_bytes(255);

INSTANTIATE_TEST_SUITE_P(
    Commands, HandleCommandTest,
    ::testing::Values(Command{"Wakeup", [](Handle& h) { h.SendDeviceWakeup(); }, {0x0A}},
                      Command{"StatusRequest", [](Handle& h) { h.RequestStatus(); }, {0xDA}},
                      Command{"StateWithoutData",
                              [](Handle& h) { h.SendHandleState(300, 0, nullptr); },
                              {0xDB, 0x2C, 0x01, 0x00}},
                      Command{"StateWithThreeBytes",
                              [](Handle& h) {
                                const std::uint8_t data[] = {7, 8, 9};
                                h.SendHandleState(0x0102, 3, data);
                              },
                              {0xDB, 0x02, 0x01, 0x03, 0x07, 0x08, 0x09}},
                      Command{
                          "StateWithLongestData",
                          [](Handle& h) { h.SendHandleState(0xFFFF, 255, user_data_255.data()); },
                          [] {
                            Bytes wire = {0xDB, 0xFF, 0xFF, 0xFF};
                            wire.insert(wire.end(), user_data_255.begin(), user_data_255.end());
                            return wire;
                          }()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(HandleCommandTest, GoesOutInOneWrite) {
  reset_calls();
  GetParam().send(handle);
  EXPECT_EQ(calls(SysCall::write), 1u);
  EXPECT_EQ(pty.receive(GetParam().wire.size()), GetParam().wire);
  EXPECT_EQ(pty.drain(), Bytes{});
  EXPECT_TRUE(handle.calls.empty());
}

TEST_F(HandleTest, DecodesAnInformationReply) {
  pty.send(info_reply);
  EXPECT_EQ(handle.Receive(), 6);
  EXPECT_EQ(handle.calls, (std::vector<std::string>{"Info", "InfoRecord"}));
  EXPECT_EQ(handle.info_fields, (std::array<unsigned, 5>{5, 300, 2, 3, 4}));
  EXPECT_EQ(handle.info.device_id, 300);
  EXPECT_EQ(handle.info.tool_data_remaining, 5);
  EXPECT_EQ(handle.info.device_model_number, 2);
  EXPECT_EQ(handle.info.hardware_version, 3);
  EXPECT_EQ(handle.info.firmware_version, 4);
}

TEST_F(HandleTest, DecodesAnErrorReply) {
  pty.send(error_reply);
  EXPECT_EQ(handle.Receive(), 3);
  EXPECT_EQ(handle.calls, (std::vector<std::string>{"Error", "ErrorRecord"}));
  EXPECT_EQ(handle.error_fields, (std::array<unsigned, 2>{300, 7}));
  EXPECT_EQ(handle.error.device_id, 300);
  EXPECT_EQ(handle.error.error_code, 7);
}

TEST_F(HandleTest, DecodesAStatusMessage) {
  pty.send(status_message({7, 8, 9}));
  EXPECT_EQ(handle.Receive(), 24);
  EXPECT_EQ(handle.calls, (std::vector<std::string>{"Status", "StatusRecord"}));
  EXPECT_EQ(handle.status_device_id, 300);
  EXPECT_EQ(handle.status_quaternion, (std::array<float, 4>{1.0f, -0.5f, 0.25f, 2.0f}));
  EXPECT_EQ(handle.status_bytes, (std::array<unsigned, 3>{1, 200, 3}));
  EXPECT_EQ(handle.status_user_data, (Bytes{7, 8, 9}));
  const HandleStatusMessageRecord& record = handle.status;
  EXPECT_EQ(record.device_id, 300);
  EXPECT_EQ(record.error_flag, 1);
  EXPECT_EQ(record.hall_effect_sensor_level, 200);
  EXPECT_EQ(record.quaternion[3], 2.0f);
  EXPECT_EQ(record.user_data_length, 3);
  EXPECT_EQ(Bytes(record.user_data, record.user_data + 3), (Bytes{7, 8, 9}));
}

TEST_F(HandleTest, StatusRecordIsZeroedPastItsUserData) {
  // The longest message first, so that rx_buffer holds its bytes when the shorter ones arrive.
  pty.send(status_message(Bytes(255, 0xEE)));
  EXPECT_EQ(handle.Receive(), 276);
  EXPECT_EQ(Bytes(handle.status.user_data, handle.status.user_data + 255), Bytes(255, 0xEE));

  for (const Bytes& user_data : {Bytes{7, 8, 9}, Bytes{}}) {
    pty.send(status_message(user_data));
    EXPECT_EQ(handle.Receive(), static_cast<std::int32_t>(21 + user_data.size()));
    EXPECT_EQ(handle.status_bytes[2], user_data.size());
    EXPECT_EQ(handle.status_user_data, user_data);
    const std::uint8_t* stored = handle.status.user_data;
    EXPECT_EQ(Bytes(stored, stored + user_data.size()), user_data);
    EXPECT_EQ(Bytes(stored + user_data.size(), stored + 255), Bytes(255 - user_data.size(), 0));
  }
}

TEST_F(HandleTest, PlainHandleDiscardsEveryMessageWithItsCount) {
  Handle plain(&stream);
  Bytes all = info_reply;
  for (const Bytes& part : {error_reply, status_message({}), status_message(user_data_255)})
    all.insert(all.end(), part.begin(), part.end());
  pty.send(all);
  EXPECT_EQ(plain.Receive(), 6);
  EXPECT_EQ(plain.Receive(), 3);
  EXPECT_EQ(plain.Receive(), 21);
  EXPECT_EQ(plain.Receive(), 276);
}

TEST_F(HandleTest, UnknownHeaderLeavesItsBodyForTheNextReceive) {
  Bytes sent = {11};
  sent.insert(sent.end(), info_reply.begin(), info_reply.end());
  pty.send(sent);
  EXPECT_EQ(handle.Receive(), -1);
  EXPECT_TRUE(handle.calls.empty());
  EXPECT_EQ(handle.Receive(), 6);
  EXPECT_EQ(handle.info_fields[1], 300u);
}

TEST_F(HandleTest, ThrowingCallbackEndsTheMessageButKeepsItConsumed) {
  handle.on_info_fields = [] { throw std::runtime_error("from the program"); };
  Bytes sent = info_reply;
  sent.insert(sent.end(), error_reply.begin(), error_reply.end());
  pty.send(sent);
  EXPECT_THROW(handle.Receive(), std::runtime_error);
  EXPECT_EQ(handle.calls, std::vector<std::string>{"Info"});
  EXPECT_EQ(handle.Receive(), 3);
}

// A body that stops short is never delivered: the callbacks would see what an earlier message
// left in rx_buffer. One second each, waiting for the rest; the cases run in parallel.
struct ShortMessage {
  const char* name;
  Bytes sent;
  std::int32_t count;
};

void PrintTo(const ShortMessage& message, std::ostream* os) {
  *os << message.name;
}

Bytes cut(Bytes message, std::size_t kept) {
  message.resize(kept);
  return message;
}

class HandleShortBodyTest : public HandleTest,
                            public ::testing::WithParamInterface<ShortMessage> {};

INSTANTIATE_TEST_SUITE_P(
    ShortBodies, HandleShortBodyTest,
    ::testing::Values(ShortMessage{"StatusFixedPart", cut(status_message({}), 11), 0},
                      ShortMessage{"StatusUserData", cut(status_message({1, 2, 3, 4, 5}), 22 + 2),
                                   21},
                      ShortMessage{"InformationReply", {0xD0, 0x09, 0x09, 0x09}, 0},
                      ShortMessage{"ErrorReply", {0xDF, 0x09}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(HandleShortBodyTest, ReachesNoCallback) {
  // A whole message of each kind first, so that rx_buffer holds stale bodies.
  Bytes earlier = status_message(user_data_255);
  earlier.insert(earlier.end(), info_reply.begin(), info_reply.end());
  earlier.insert(earlier.end(), error_reply.begin(), error_reply.end());
  pty.send(earlier);
  for (int i = 0; i < 3; ++i) handle.Receive();
  handle.calls.clear();

  pty.send(GetParam().sent);
  CapturedFd err(2);
  std::int32_t count = -2;
  const auto ms = elapsed_ms([&] { count = handle.Receive(); });
  EXPECT_EQ(count, GetParam().count);
  EXPECT_GE(ms, read_limit_low_ms);
  EXPECT_LE(ms, read_limit_high_ms);
  EXPECT_TRUE(handle.calls.empty()) << handle.calls.front();
  EXPECT_EQ(err.text(), "");
}

TEST_F(HandleTest, SilentPortGivesUpOnceThenAtOnce) {
  CapturedFd err(2);
  std::int32_t count = 0;
  const auto first = elapsed_ms([&] { count = handle.Receive(); });
  EXPECT_EQ(count, -1);
  EXPECT_GE(first, read_limit_low_ms);
  EXPECT_LE(first, read_limit_high_ms);

  // The stream stays failed: later messages are never read.
  pty.send(info_reply);
  const auto second = elapsed_ms([&] { count = handle.Receive(); });
  EXPECT_EQ(count, -1);
  EXPECT_LT(second, at_once_ms);
  EXPECT_TRUE(handle.calls.empty());
  EXPECT_EQ(err.text(), "");
}

}  // namespace
