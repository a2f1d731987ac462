// The built emulator, driven through the library's own stream and framing as a program would.

#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Device/LittleEndian.h"
#include "Devices/Device.h"
#include "IO/SerialStream.h"
#include "ParamNames.h"
#include "PtyPair.h"
#include "Timing.h"

namespace {

using namespace Orvex::Testing;
using Orvex::HardwareAPI::Devices::Device;
using Orvex::HardwareAPI::IO::SerialStream;
namespace le = Orvex::HardwareAPI::Devices::LittleEndian;
namespace fs = std::filesystem;

constexpr std::chrono::milliseconds exit_limit{2000};

// A folder of its own for one test's links, removed with it.
struct TempFolder {
  fs::path path =
      fs::temp_directory_path() / ("emulator-test-" + std::to_string(::getpid()) + "-" +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
  TempFolder() { fs::create_directories(path); }
  ~TempFolder() { fs::remove_all(path); }
};

// The emulator, with each device's pty path read from its line on standard output.
class Emulator {
 public:
  explicit Emulator(std::vector<std::string> arguments, std::size_t devices = 1)
      : process(ORVEX_EMULATOR, arguments) {
    for (std::size_t i = 0; i < devices; ++i) {
      const auto line = process.read_line();
      if (!line) break;
      lines.push_back(*line);
      paths.push_back(line->substr(line->find(' ') + 1));
    }
  }
  ChildProcess process;
  std::vector<std::string> lines;
  std::vector<std::string> paths;
};

// A port opened the way a program opens one, with the device framing on it.
struct Port {
  explicit Port(const std::string& path) : stream(path.c_str(), true), device(&stream) {}
  void send(const Bytes& command) {
    std::memcpy(device.tx_buffer.get(), command.data(), command.size());
    device.WriteBytes(command.size());
  }
  // The body of a reply whose header code is checked, or nothing when it fell short.
  Bytes body(std::uint8_t code, std::size_t n) {
    const std::uint8_t got = device.ReadHeaderCode();
    EXPECT_EQ(got, code);
    if (got != code || device.ReadBytes(n) != static_cast<std::int32_t>(n)) return {};
    return Bytes(device.rx_buffer.get(), device.rx_buffer.get() + n);
  }
  SerialStream stream;
  Device device;
};

float f32_at(const Bytes& body, std::size_t offset) {
  return le::get_f32(&body[offset]);
}

TEST(EmulatorProcess, ServesBothDevicesOnTheirLinksAndLeavesWhenStdinCloses) {
  TempFolder folder;
  const std::string corvane_link = (folder.path / "ttyACM-emulated").string();
  const std::string handle_link = (folder.path / "ttyUSB-emulated").string();
  Emulator emulator(
      {"--corvane", "--uuid", "00112233-4455-6677-8899-aabbccddeeff", "--device-id", "300",
       "--link", corvane_link, "--handle", "--device-id", "7", "--link", handle_link},
      2);
  ASSERT_EQ(emulator.lines.size(), 2u);
  EXPECT_EQ(emulator.lines[0].rfind("corvane /dev/pts/", 0), 0u) << emulator.lines[0];
  EXPECT_EQ(emulator.lines[1].rfind("handle /dev/pts/", 0), 0u) << emulator.lines[1];
  EXPECT_EQ(fs::read_symlink(corvane_link), emulator.paths[0]);
  EXPECT_EQ(fs::read_symlink(handle_link), emulator.paths[1]);

  {
    Port arm(corvane_link);
    arm.send({0x0A});
    const Bytes info = arm.body(11, 21);
    ASSERT_EQ(info.size(), 21u);
    EXPECT_EQ(le::get_u16(&info[0]), 300);
    EXPECT_EQ(info[2], 4);
    EXPECT_EQ(Bytes(info.begin() + 5, info.end()),
              (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc,
                     0xdd, 0xee, 0xff}));

    arm.send({0x2A, 0, 0, 0x80, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0});  // 1 N along x
    EXPECT_EQ(arm.body(43, 24).size(), 24u);
    arm.send({0xAB});
    const Bytes current = arm.body(171, 12);
    ASSERT_EQ(current.size(), 12u);
    EXPECT_GT(f32_at(current, 0), 0);
    EXPECT_EQ(f32_at(current, 4), 0);
  }
  {
    Port grip(handle_link);
    grip.send({0xDB, 0x07, 0x00, 0x03, 0x01, 0x02, 0x03});
    grip.send({0xDA});
    const Bytes status = grip.body(218, 21);
    ASSERT_EQ(status.size(), 21u);
    EXPECT_EQ(le::get_u16(&status[0]), 7);
    double norm = 0;
    for (std::size_t i = 0; i < 4; ++i) norm += std::pow(f32_at(status, 4 + 4 * i), 2);
    EXPECT_NEAR(norm, 1.0, 1e-5);
    ASSERT_EQ(status[20], 3);
    ASSERT_EQ(grip.device.ReadBytes(3), 3);
    EXPECT_EQ(Bytes(grip.device.rx_buffer.get(), grip.device.rx_buffer.get() + 3),
              (Bytes{1, 2, 3}));

    grip.send({0x77});
    EXPECT_EQ(grip.body(223, 3), (Bytes{0x07, 0x00, 0x01}));
    grip.send({0x0A});
    EXPECT_EQ(grip.body(208, 6).size(), 6u);
  }

  emulator.process.close_stdin();
  EXPECT_EQ(emulator.process.wait_exit(exit_limit), 0);
  EXPECT_FALSE(fs::symlink_status(corvane_link).type() != fs::file_type::not_found);
  EXPECT_FALSE(fs::symlink_status(handle_link).type() != fs::file_type::not_found);
  EXPECT_EQ(emulator.process.error_text(), "");
}

struct StopCase {
  const char* name;
  int signal;
  bool ignored_at_start;  // as a shell starts a background job
};

class EmulatorStopSignal : public ::testing::TestWithParam<StopCase> {};

TEST_P(EmulatorStopSignal, EndsItCleanlyAndRemovesTheLink) {
  TempFolder folder;
  const std::string link = (folder.path / "ttyACM-emulated").string();
  const auto inherited =
      std::signal(GetParam().signal, GetParam().ignored_at_start ? SIG_IGN : SIG_DFL);
  Emulator emulator({"--corvane", "--link", link});
  std::signal(GetParam().signal, inherited);
  ASSERT_EQ(emulator.paths.size(), 1u);
  ASSERT_TRUE(fs::is_symlink(link));
  emulator.process.send_signal(GetParam().signal);
  EXPECT_EQ(emulator.process.wait_exit(exit_limit), 0);
  EXPECT_FALSE(fs::is_symlink(link));
}

INSTANTIATE_TEST_SUITE_P(
    Signals, EmulatorStopSignal,
    ::testing::Values(StopCase{"interrupt", SIGINT, false}, StopCase{"terminate", SIGTERM, false},
                      StopCase{"interrupt_ignored_by_the_shell", SIGINT, true}),
    ByName());

TEST(EmulatorProcess, VerboseLogsEachMessageOnStandardErrorOnly) {
  Emulator emulator({"-v", "--handle"});
  ASSERT_EQ(emulator.paths.size(), 1u);
  {
    Port grip(emulator.paths[0]);
    grip.send({0x0A});
    EXPECT_EQ(grip.body(208, 6).size(), 6u);
  }
  emulator.process.close_stdin();
  EXPECT_EQ(emulator.process.wait_exit(exit_limit), 0);
  EXPECT_EQ(emulator.process.rest_of_output(), "");
  const std::string log = emulator.process.error_text();
  EXPECT_NE(log.find("in  wake-up: 0a\n"), std::string::npos) << log;
  EXPECT_NE(log.find("out information: d0 00 01 00 02 01 01\n"), std::string::npos) << log;
}

TEST(EmulatorProcess, StreamsStatusMessagesAtAboutTheAskedRate) {
  Emulator emulator({"--handle", "--stream", "50"});
  ASSERT_EQ(emulator.paths.size(), 1u);
  Port grip(emulator.paths[0]);
  grip.send({0x0A});
  ASSERT_EQ(grip.body(208, 6).size(), 6u);
  int statuses = 0;
  const auto ms = elapsed_ms([&] {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < end && grip.body(218, 21).size() == 21) ++statuses;
  });
  EXPECT_LT(ms, 700);
  EXPECT_GE(statuses, 15);  // 25 expected
  EXPECT_LE(statuses, 35);
}

TEST(EmulatorProcess, LatencyHoldsEachReplyBack) {
  Emulator emulator({"--corvane", "--latency-us", "200000"});
  ASSERT_EQ(emulator.paths.size(), 1u);
  Port arm(emulator.paths[0]);
  arm.send({0x0A});
  Bytes info;
  const auto ms = elapsed_ms([&] { info = arm.body(11, 21); });
  EXPECT_EQ(info.size(), 21u);
  EXPECT_GE(ms, 180);
  EXPECT_LT(ms, 900);
}

struct FaultCase {
  const char* name;
  const char* option;
  std::uint8_t header_seen;  // what ReadHeaderCode gives
};

class EmulatorFaultMode : public ::testing::TestWithParam<FaultCase> {};

TEST_P(EmulatorFaultMode, GivesTheLibrarysSilentTimeout) {
  Emulator emulator({"--corvane", GetParam().option, "1", "--seed", "5"});
  ASSERT_EQ(emulator.paths.size(), 1u);
  Port arm(emulator.paths[0]);
  arm.send({0x0A});
  const auto ms = elapsed_ms([&] {
    ASSERT_EQ(arm.device.ReadHeaderCode(), GetParam().header_seen);
    if (GetParam().header_seen != 0) {
      EXPECT_EQ(arm.device.ReadBytes(21), 0);
    }
  });
  EXPECT_GE(ms, read_limit_low_ms);
  EXPECT_LE(ms, read_limit_high_ms);
  EXPECT_TRUE(arm.stream.eof());
}

INSTANTIATE_TEST_SUITE_P(Faults, EmulatorFaultMode,
                         ::testing::Values(FaultCase{"drop", "--drop", 0},
                                           FaultCase{"truncate", "--truncate", 11}),
                         ByName());

struct RefusedStart {
  const char* name;
  std::vector<std::string> arguments;
  int status;
};

class EmulatorRefusesToStart : public ::testing::TestWithParam<RefusedStart> {};

TEST_P(EmulatorRefusesToStart, WithAStatusAndAReasonButNoDeviceLine) {
  TempFolder folder;
  std::vector<std::string> arguments = GetParam().arguments;
  for (std::string& a : arguments)
    if (a.rfind("FOLDER", 0) == 0) a = (folder.path / a.substr(6)).string();
  { std::ofstream in_the_way(folder.path / "file"); }
  Emulator emulator(arguments, 0);
  EXPECT_EQ(emulator.process.wait_exit(exit_limit), GetParam().status);
  EXPECT_EQ(emulator.process.rest_of_output(), "");
  EXPECT_EQ(emulator.process.error_text().rfind("orvex-emulator: ", 0), 0u)
      << emulator.process.error_text();
  EXPECT_TRUE(fs::is_regular_file(folder.path / "file"));
}

INSTANTIATE_TEST_SUITE_P(
    Starts, EmulatorRefusesToStart,
    ::testing::Values(RefusedStart{"link_before_device", {"--link", "FOLDERlink"}, 2},
                      RefusedStart{"chance_above_one", {"--corvane", "--drop", "2"}, 2},
                      RefusedStart{"file_in_the_way", {"--corvane", "--link", "FOLDERfile"}, 1},
                      RefusedStart{
                          "no_such_folder", {"--corvane", "--link", "FOLDERmissing/link"}, 1}),
    ByName());

}  // namespace
