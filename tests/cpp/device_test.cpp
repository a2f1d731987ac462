#include "Devices/Device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <regex>
#include <string>

#include "CapturedFd.h"
#include "Interpose.h"
#include "PtyPair.h"
#include "Timing.h"

namespace {

using namespace Orvex::Testing;
using Orvex::HardwareAPI::Devices::Device;
using Orvex::HardwareAPI::IO::SerialStream;

constexpr const char* report_prefix = R"(\[err\] Library/src/Device/Device\.cpp:\d+> )";

std::regex report(const std::string& body) {
  return std::regex(std::string("^") + report_prefix + body + "\n$");
}

class DeviceTest : public ::testing::Test {
 protected:
  PtyPair pty;
  SerialStream stream{pty.path().c_str(), true};
  Device device{&stream};
};

TEST_F(DeviceTest, NewDeviceHasZeroedBuffers) {
  EXPECT_TRUE(std::all_of(device.tx_buffer.get(), device.tx_buffer.get() + Device::buffer_size,
                          [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(device.rx_buffer.get(), device.rx_buffer.get() + Device::buffer_size,
                          [](std::uint8_t b) { return b == 0; }));
}

TEST_F(DeviceTest, WriteSendsTheBufferInOneCall) {
  const std::uint8_t command[] = {0x2A, 0x00, 0x00, 0x80, 0x3F, 0, 0, 0, 0x40, 0, 0, 0x40, 0x40};
  std::memcpy(device.tx_buffer.get(), command, sizeof command);
  reset_calls();
  CapturedFd err(2);
  device.WriteBytes(sizeof command);
  EXPECT_EQ(calls(SysCall::write), 1u);
  EXPECT_EQ(pty.receive(sizeof command), Bytes(command, command + sizeof command));
  EXPECT_EQ(err.text(), "");
}

TEST_F(DeviceTest, ReadsAHeaderThenABodyFromIndexZero) {
  pty.send({11, 0x2C, 0x01, 0x04});
  EXPECT_EQ(device.ReadHeaderCode(), 11);
  EXPECT_EQ(device.ReadBytes(3), 3);
  EXPECT_EQ(Bytes(device.rx_buffer.get(), device.rx_buffer.get() + 3), (Bytes{0x2C, 0x01, 0x04}));
}

TEST_F(DeviceTest, EmptyReadReturnsAtOnce) {
  reset_calls();
  CapturedFd err(2);
  const auto ms = elapsed_ms([&] { EXPECT_EQ(device.ReadBytes(0), 0); });
  EXPECT_LT(ms, at_once_ms);
  EXPECT_EQ(calls(SysCall::read), 0u);
  EXPECT_TRUE(stream.good());
  EXPECT_EQ(err.text(), "");
}

TEST_F(DeviceTest, HeldLookaheadByteComesFirst) {
  pty.send({0xAB, 0x01});
  ASSERT_EQ(stream.peek(), 0xAB);
  EXPECT_EQ(device.ReadHeaderCode(), 0xAB);
  EXPECT_EQ(device.ReadBytes(1), 1);
  EXPECT_EQ(device.rx_buffer[0], 0x01);
}

TEST_F(DeviceTest, TimedOutStreamFallsSilent) {
  // Twenty of twenty-one bytes: the short read keeps what came and ends all later traffic.
  device.rx_buffer[20] = 0x99;
  Bytes body(20);
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i + 1);
  pty.send(body);
  CapturedFd err(2);
  std::int32_t got = -1;
  const auto ms = elapsed_ms([&] { got = device.ReadBytes(21); });
  EXPECT_EQ(got, 0);
  EXPECT_GE(ms, read_limit_low_ms);
  EXPECT_LE(ms, read_limit_high_ms);
  EXPECT_EQ(Bytes(device.rx_buffer.get(), device.rx_buffer.get() + 20), body);
  EXPECT_EQ(device.rx_buffer[20], 0x99);
  EXPECT_TRUE(stream.eof() && stream.fail() && !stream.bad());

  pty.send({0x43});
  reset_calls();
  device.tx_buffer[0] = 0x0A;
  device.WriteBytes(1);
  EXPECT_EQ(device.ReadHeaderCode(), 0);
  EXPECT_EQ(device.ReadBytes(4), 0);
  EXPECT_EQ(calls(SysCall::read) + calls(SysCall::write), 0u);
  EXPECT_EQ(pty.drain(), Bytes{});
  EXPECT_EQ(err.text(), "");
}

TEST_F(DeviceTest, ReadErrorEndsTrafficWithoutAReport) {
  ScopedHooks hooks({.read = [](int, void*, std::size_t) -> std::optional<ssize_t> {
    errno = EIO;
    return -1;
  }});
  CapturedFd err(2);
  EXPECT_EQ(device.ReadHeaderCode(), 0);
  EXPECT_TRUE(stream.eof());
  EXPECT_EQ(err.text(), "");
}

TEST_F(DeviceTest, FailedWriteIsReportedOnEveryLaterOperation) {
  {
    ScopedHooks hooks({.write = [](int, const void*, std::size_t n) -> std::optional<ssize_t> {
      errno = EIO;
      return static_cast<ssize_t>(n) / 2;
    }});
    CapturedFd err(2);
    device.WriteBytes(13);
    EXPECT_TRUE(
        std::regex_match(err.text(), report(R"(unable to write '13' bytes to stream: \[5\] )" +
                                            std::string(std::strerror(EIO)))));
  }
  pty.send({0x2B, 1, 2, 3});
  CapturedFd err(2);
  errno = ENODEV;
  EXPECT_EQ(device.ReadHeaderCode(), 0);
  errno = EAGAIN;
  EXPECT_EQ(device.ReadBytes(24), 0);
  const std::string lines = err.text();
  const std::string first = lines.substr(0, lines.find('\n') + 1);
  EXPECT_TRUE(std::regex_match(first, report(R"(unable to read header code from stream: \[19\] )" +
                                             std::string(std::strerror(ENODEV)))))
      << lines;
  EXPECT_TRUE(std::regex_match(lines.substr(first.size()),
                               report(R"(unable to read '24' bytes from stream: \[11\] )" +
                                      std::string(std::strerror(EAGAIN)))))
      << lines;
}

TEST(DeviceUnopened, EveryWriteReportsWithTheErrnoOfTheMoment) {
  SerialStream stream("/dev/orvex-no-such-port", true);
  Device device(&stream);
  CapturedFd err(2);
  errno = ENOENT;
  device.WriteBytes(1);
  errno = EACCES;
  device.WriteBytes(1);
  const std::string expected =
      std::string(R"(unable to write '1' bytes to stream: \[2\] )") + std::strerror(ENOENT) + "\n" +
      report_prefix + R"(unable to write '1' bytes to stream: \[13\] )" + std::strerror(EACCES);
  EXPECT_TRUE(std::regex_match(err.text(), report(expected)));
}

TEST_F(DeviceTest, CountsBeyondTheBuffersAreCut) {
  Bytes line(Device::buffer_size + 8, 0x5A);
  pty.send(line);
  EXPECT_EQ(device.ReadBytes(Device::buffer_size + 8),
            static_cast<std::int32_t>(Device::buffer_size));
  reset_calls();
  device.WriteBytes(Device::buffer_size + 8);
  EXPECT_EQ(pty.receive(Device::buffer_size + 8, std::chrono::milliseconds(300)).size(),
            Device::buffer_size);
}

}  // namespace
