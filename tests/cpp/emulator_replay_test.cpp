// The emulator's replay and line timing: recordings read or refused with a reason, recorded
// states answered at recorded times, recorded handle messages played back, and bytes timed as a
// serial line and USB frames would.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "CorvaneDevice.h"
#include "CorvaneMessages.h"
#include "Device/LittleEndian.h"
#include "HandleDevice.h"
#include "HandleMessages.h"
#include "LineTiming.h"
#include "Options.h"
#include "Playback.h"
#include "Recording.h"

namespace {

using namespace Orvex::Emulator;
namespace le = Orvex::HardwareAPI::Devices::LittleEndian;

const char* const servo_header =
    "time,x,y,z,vx,vy,vz,fx,fy,fz,exchange_us,proxy_x,proxy_y,proxy_z,cycle\n";

// A file with the given text under a name with the given ending; removed at the end of the test.
class TemporaryFile {
 public:
  TemporaryFile(const std::string& text, const char* ending) {
    char name[] = "/tmp/orvex-replay-XXXXXX";
    close(mkstemp(name));
    unlink(name);
    path = std::string(name) + ending;
    std::ofstream(path, std::ios::binary) << text;
  }
  ~TemporaryFile() { unlink(path.c_str()); }
  std::string path;
};

std::string servo_rows(const std::vector<std::vector<double>>& rows) {
  std::string text = servo_header;
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < 15; ++i) text += (i ? "," : "") + std::to_string(i < row.size() ? row[i] : 0);
    text += '\n';
  }
  return text;
}

struct BadFile {
  const char* name;
  std::string text;
  const char* ending;
  const char* problem;
};

class BadRecording : public testing::TestWithParam<BadFile> {};

TEST_P(BadRecording, IsRefusedWithItsProblemNamed) {
  const TemporaryFile file(GetParam().text, GetParam().ending);
  try {
    CorvanePlayback playback(read_recording(file.path));
    FAIL() << "accepted";
  } catch (const RecordingError& e) {
    EXPECT_NE(std::string(e.what()).find(file.path), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(GetParam().problem), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadRecording,
    testing::Values(
        BadFile{"WrongEnding", servo_rows({{0}}), ".txt", "a .csv or an .npy"},
        BadFile{"Empty", "", ".csv", "header line"},
        BadFile{"NoRows", servo_header, ".csv", "no rows"},
        BadFile{"NotANumber", std::string(servo_header) + "0,a,0,0,0,0,0,0,0,0,0,0,0,0,0\n", ".csv",
                "'a' is no number"},
        BadFile{"ShortLine", std::string(servo_header) + "0,1\n", ".csv", "has 2 values"},
        BadFile{"TimeGoesBack", servo_rows({{1}, {0.5}}), ".csv", "goes back"},
        BadFile{"HandleRecording", "time,kind\n0,0\n", ".csv", "no column 'x'"},
        BadFile{"NotNpy", "hello", ".npy", "not a NumPy"},
        BadFile{"PositionNotANumber",
                servo_rows({{0}, {0.001}}) + "0.002,nan,0,0,0,0,0,0,0,0,0,0,0,0,2\n", ".csv",
                "row 3: x = nan is not finite"},
        BadFile{"InfiniteVelocity",
                servo_rows({{0, 0, 0, 0, 0, 0, -std::numeric_limits<double>::infinity()}}),
                ".csv", "row 1: vz = -inf is not finite"},
        BadFile{"PositionOutsideTheWorkspace", servo_rows({{0}, {0.001, 0, 0.25}}), ".csv",
                "row 2: y = 0.25 is out of range (±0.1 m)"},
        BadFile{"ImpossibleSpeed", servo_rows({{0, 0, 0, 0, 40}}), ".csv",
                "row 1: vx = 40 is out of range (±10 m/s)"},
        BadFile{"WrongNpyType",
                std::string("\x93NUMPY\x01\x00\x36\x00", 10) +
                    "{'descr': '<i4', 'fortran_order': False, 'shape': (1, 15), }    \n",
                ".npy", "float64"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CorvanePlayback, InterpolatesBetweenRowsAndHoldsTheEnds) {
  const TemporaryFile file(
      servo_rows({{10, 0, 0.01, 0.02, 0, 0, 0}, {10.5, 0.01, 0.03, 0.02, 2, 0, 0}}), ".csv");
  const CorvanePlayback playback(read_recording(file.path));
  EXPECT_DOUBLE_EQ(playback.at(0.25).position[0], 0.005);
  EXPECT_DOUBLE_EQ(playback.at(0.25).position[1], 0.02);
  EXPECT_DOUBLE_EQ(playback.at(0.25).velocity[0], 1.0);
  EXPECT_DOUBLE_EQ(playback.at(-1).position[0], 0.0);
  EXPECT_DOUBLE_EQ(playback.at(7).position[0], 0.01);
}

TEST(CorvaneReplay, AnswersForceCommandsWithTheRecordedStateSinceTheFirst) {
  const TemporaryFile file(servo_rows({{0, 0, 0, 0}, {1, 0.04, 0, 0}}), ".csv");
  CorvaneDevice arm({}, CorvanePlayback(read_recording(file.path)));
  std::vector<std::uint8_t> force(13, 0);
  force[0] = CorvaneMessages::force;
  const auto x_of = [](const Exchange& exchange) { return le::get_f32(&(*exchange.reply)[1]); };
  EXPECT_FLOAT_EQ(x_of(arm.receive(force.data(), force.size(), 100.0).at(0)), 0.0f);
  EXPECT_FLOAT_EQ(x_of(arm.receive(force.data(), force.size(), 100.25).at(0)), 0.01f);
  EXPECT_FLOAT_EQ(x_of(arm.receive(force.data(), force.size(), 101.5).at(0)), 0.04f);
}

TEST(HandleReplay, SendsTheRecordedMessagesAtTheirTimesFromTheFirstCommand) {
  const TemporaryFile file(
      "time,kind,device_id,q0,q1,q2,q3,error_flag,hall,user_data_length,tool_data_remaining,"
      "model,hardware,firmware,error_code,message\n"
      "5,1,7,0,0,0,0,0,0,0,0,2,1,1,0,0\n"
      "5.5,0,7,1,0,0,0,0,200,2,0,0,0,0,0,1\n",
      ".csv");
  HandleDevice handle(7, 0, HandlePlayback(read_recording(file.path)));
  EXPECT_FALSE(handle.next_unasked_s());  // nothing before the host speaks
  const std::uint8_t status_request = HandleMessages::status;
  handle.receive(&status_request, 1, 20.0);
  ASSERT_TRUE(handle.next_unasked_s());
  EXPECT_DOUBLE_EQ(*handle.next_unasked_s(), 20.0);
  EXPECT_EQ(handle.unasked(20.0)->at(0), HandleMessages::info);
  EXPECT_FALSE(handle.unasked(20.4));
  const auto status = handle.unasked(20.5);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->at(0), HandleMessages::status);
  EXPECT_EQ(status->size(), 22u + 2u);  // header code, 21 bytes, the two bytes of user data
  EXPECT_FALSE(handle.next_unasked_s());
}

TEST(HandleReplay, RefusesAQuaternionNoHandleSendsAndAFieldThatIsNoNumber) {
  const std::string header =
      "time,kind,device_id,q0,q1,q2,q3,error_flag,hall,user_data_length,tool_data_remaining,"
      "model,hardware,firmware,error_code,message\n"
      "5,0,7,1,0,0,0,0,200,2,0,0,0,0,0,0\n";
  for (const auto& [row, problem] :
       {std::pair<std::string, std::string>{"5.5,0,7,0,-1.5,0,0,0,200,2,0,0,0,0,0,1\n",
                                            "row 2: q1 = -1.5 is out of range (±1)"},
        {"5.5,0,7,1,0,0,0,0,nan,2,0,0,0,0,0,1\n", "row 2: hall = nan is not finite"}}) {
    const TemporaryFile file(header + row, ".csv");
    try {
      HandlePlayback playback(read_recording(file.path));
      ADD_FAILURE() << "accepted " << row;
    } catch (const RecordingError& e) {
      EXPECT_NE(std::string(e.what()).find(problem), std::string::npos) << e.what();
    }
  }
}

TEST(LineTiming, TimesEachByteInOrderAtTenBitsAByte) {
  LineTiming line(115200, 0);
  const double byte = 10.0 / 115200;
  EXPECT_DOUBLE_EQ(line.to_device(1.0), 1.0 + byte);
  EXPECT_DOUBLE_EQ(line.to_device(1.0), 1.0 + 2 * byte);  // queued behind the first
  EXPECT_DOUBLE_EQ(line.to_device(2.0), 2.0 + byte);      // an idle line starts afresh
  EXPECT_DOUBLE_EQ(line.to_host(1.0), 1.0 + byte);        // each way its own line
}

TEST(LineTiming, HandsTheDevicesBytesOverAtUsbFrameBoundaries) {
  LineTiming usb(0, 1000);
  EXPECT_DOUBLE_EQ(usb.to_host(0.0101), 0.011);
  EXPECT_DOUBLE_EQ(usb.to_host(0.011), 0.011);
  EXPECT_DOUBLE_EQ(usb.to_device(0.0101), 0.0101);  // the host's bytes are not held
  EXPECT_TRUE(LineTiming(0, 0).instant());
}

struct BadOption {
  std::vector<std::string> arguments;
  const char* problem;
};

class LineAndReplayOptions : public testing::TestWithParam<BadOption> {};

TEST_P(LineAndReplayOptions, AreRefusedWithAReason) {
  try {
    parse_options(GetParam().arguments);
    FAIL() << "accepted";
  } catch (const UsageError& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().problem), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineAndReplayOptions,
    testing::Values(BadOption{{"--corvane", "--baud", "20"}, "--baud wants a whole number from 50"},
                    BadOption{{"--corvane", "--baud", "fast"}, "not 'fast'"},
                    BadOption{{"--corvane", "--usb-frame-us", "0"}, "from 1 to 100000"},
                    BadOption{{"--replay", "x.csv"}, "put it after --corvane or --handle"},
                    BadOption{{"--corvane", "--replay"}, "--replay wants a value"},
                    BadOption{{"--corvane", "--replay", "a.csv", "--replay", "b.csv"}, "one --replay"},
                    BadOption{{"--handle", "--stream", "100", "--replay", "a.csv"},
                              "sends what was recorded"}));

TEST(LineAndReplayOptions, AreTaken) {
  const Options options =
      parse_options({"--baud=115200", "--usb-frame-us", "1000", "--corvane", "--replay", "a.npy"});
  EXPECT_EQ(options.baud, 115200u);
  EXPECT_EQ(options.usb_frame_us, 1000u);
  EXPECT_EQ(options.devices.at(0).replay, "a.npy");
}

}  // namespace
