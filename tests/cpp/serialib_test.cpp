#include "IO/serialib.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "Interpose.h"
#include "PtyPair.h"
#include "Timing.h"

namespace {

using namespace Orvex::Testing;
using Orvex::HardwareAPI::IO::serialib;
using traits = std::char_traits<char>;

// The end-of-file value cannot be passed through the public interface, which takes a char.
struct ExposedSerialib : serialib {
  using serialib::overflow;
  using serialib::pbackfail;
};

class SerialibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    buffer.fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(buffer.fd, 0);
    reset_calls();
  }

  PtyPair pty;
  ExposedSerialib buffer;
};

TEST_F(SerialibTest, EmptyRequestTouchesNoPort) {
  char out[4];
  EXPECT_EQ(buffer.sgetn(out, 0), 0);
  EXPECT_EQ(buffer.sputn("ab", 0), 0);
  EXPECT_EQ(calls(SysCall::read) + calls(SysCall::write) + calls(SysCall::gettimeofday), 0u);
}

TEST_F(SerialibTest, ShortArrivalReturnsWhatCameAfterTheLimit) {
  pty.send({1, 2, 3, 4, 5});
  char out[21] = {};
  std::streamsize got = 0;
  const auto ms = elapsed_ms([&] { got = buffer.sgetn(out, 21); });
  EXPECT_EQ(got, 5);
  EXPECT_EQ(std::vector<char>(out, out + 5), (std::vector<char>{1, 2, 3, 4, 5}));
  EXPECT_GE(ms, read_limit_low_ms);
  EXPECT_LE(ms, read_limit_high_ms);
  // Polling pauses between attempts rather than spinning.
  EXPECT_LT(calls(SysCall::read), 20000u);
  EXPECT_GE(calls(SysCall::usleep), calls(SysCall::read) - 1);
}

TEST_F(SerialibTest, RequestEndsAsSoonAsItsLastByteArrives) {
  std::thread device([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty.send({7, 8});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty.send({9});
  });
  char out[3] = {};
  std::streamsize got = 0;
  const auto ms = elapsed_ms([&] { got = buffer.sgetn(out, 3); });
  device.join();
  EXPECT_EQ(got, 3);
  EXPECT_EQ(out[2], 9);
  EXPECT_LT(ms, 700);
}

TEST_F(SerialibTest, HeldByteIsDeliveredFirstWithoutASystemCall) {
  pty.send({0x41});
  ASSERT_EQ(buffer.sgetc(), 0x41);
  ASSERT_EQ(buffer.sgetc(), 0x41);  // still held: the port is read once
  EXPECT_EQ(calls(SysCall::read), 1u);

  reset_calls();
  char one = 0;
  EXPECT_EQ(buffer.sgetn(&one, 1), 1);
  EXPECT_EQ(one, 0x41);
  EXPECT_EQ(calls(SysCall::read), 0u);

  pty.send({0x42, 0x43, 0x44});
  ASSERT_EQ(buffer.sgetc(), 0x42);
  char three[3] = {};
  EXPECT_EQ(buffer.sgetn(three, 3), 3);
  EXPECT_EQ(std::string(three, 3), "BCD");
}

TEST_F(SerialibTest, UflowConsumesTheHeldByte) {
  pty.send({0xF0, 0x0F});
  EXPECT_EQ(buffer.sgetc(), 0xF0);  // delivered as its unsigned value
  EXPECT_EQ(buffer.sbumpc(), 0xF0);
  EXPECT_EQ(buffer.sbumpc(), 0x0F);
}

TEST_F(SerialibTest, PutBackHoldsOneByteOnly) {
  EXPECT_EQ(buffer.sputbackc('z'), 'z');
  EXPECT_EQ(buffer.sputbackc('y'), traits::eof());  // slot already full
  EXPECT_EQ(buffer.pbackfail(traits::eof()), traits::eof());
  EXPECT_EQ(buffer.in_avail(), 1);
  EXPECT_EQ(calls(SysCall::read), 0u);
  char got = 0;
  EXPECT_EQ(buffer.sgetn(&got, 1), 1);
  EXPECT_EQ(got, 'z');
}

TEST_F(SerialibTest, ReadErrorEndsTheRequestAtOnce) {
  pty.send({1, 2});
  int attempts = 0;
  ScopedHooks hooks({.read = [&](int, void*, std::size_t) -> std::optional<ssize_t> {
    if (++attempts == 1) return std::nullopt;  // the first attempt gets the two bytes
    errno = EIO;
    return -1;
  }});
  char out[8];
  std::streamsize got = 0;
  const auto ms = elapsed_ms([&] { got = buffer.sgetn(out, 8); });
  EXPECT_EQ(got, -2);  // bytes already taken are not reported
  EXPECT_LT(ms, at_once_ms);
  EXPECT_EQ(errno, EIO);
}

TEST_F(SerialibTest, ReadErrorAfterAHeldByte) {
  ASSERT_EQ(buffer.sputbackc('a'), 'a');
  ScopedHooks hooks({.read = [](int, void*, std::size_t) -> std::optional<ssize_t> {
    errno = EIO;
    return -1;
  }});
  char out[4];
  EXPECT_EQ(buffer.sgetn(out, 4), -1);
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(buffer.sgetc(), traits::eof());
}

TEST_F(SerialibTest, ShowmanycWaitsForOneByteAndHoldsIt) {
  pty.send({0x55, 0x66});
  EXPECT_EQ(buffer.in_avail(), 1);
  char out[2];
  EXPECT_EQ(buffer.sgetn(out, 2), 2);
  EXPECT_EQ(out[0], 0x55);
  EXPECT_EQ(out[1], 0x66);
}

TEST_F(SerialibTest, ShowmanycReportsFailingFlagChanges) {
  int sets = 0;
  int fail_on = 1;
  ScopedHooks hooks({.fcntl = [&](int, int cmd, long) -> std::optional<int> {
    if (cmd == F_SETFL && ++sets == fail_on) return -1;
    return std::nullopt;
  }});
  EXPECT_EQ(buffer.in_avail(), -1);
  EXPECT_EQ(calls(SysCall::read), 0u);

  // Restoring the flags fails: the byte taken stays held.
  pty.send({0x77});
  sets = 0;
  fail_on = 2;
  EXPECT_EQ(buffer.in_avail(), -1);
  EXPECT_EQ(buffer.sgetc(), 0x77);
}

TEST_F(SerialibTest, SilentPortCostsOneSecondEachWay) {
  // One wait checks the three ways a silent read ends: showmanyc, underflow, a counted read.
  std::streamsize available = -5;
  std::thread other([&] {
    PtyPair second;
    serialib quiet;
    quiet.fd = ::open(second.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const auto ms = elapsed_ms([&] { available = quiet.in_avail(); });
    EXPECT_GE(ms, read_limit_low_ms);
  });
  int first = 0;
  const auto ms = elapsed_ms([&] { first = buffer.sgetc(); });
  other.join();
  EXPECT_EQ(first, traits::eof());
  EXPECT_EQ(available, 0);
  EXPECT_GE(ms, read_limit_low_ms);
  EXPECT_LE(ms, read_limit_high_ms);
}

TEST_F(SerialibTest, WriteIsOneCallAndShortWritesFail) {
  EXPECT_EQ(buffer.sputn("\x2a\x01\x02", 3), 3);
  EXPECT_EQ(calls(SysCall::write), 1u);
  EXPECT_EQ(pty.receive(3), (Bytes{0x2a, 0x01, 0x02}));

  ScopedHooks hooks({.write = [](int, const void*, std::size_t n) -> std::optional<ssize_t> {
    return static_cast<ssize_t>(n) - 1;
  }});
  reset_calls();
  EXPECT_EQ(buffer.sputn("abcd", 4), -1);
  EXPECT_EQ(calls(SysCall::write), 1u);  // no retry of the rest
}

TEST_F(SerialibTest, OverflowWritesOneByteAndReportsAFailedOne) {
  EXPECT_EQ(buffer.sputc('\xAB'), 0xAB);
  EXPECT_EQ(pty.receive(1), (Bytes{0xAB}));
  EXPECT_EQ(buffer.overflow(traits::eof()), traits::eof());
  EXPECT_EQ(calls(SysCall::write), 1u);

  ScopedHooks hooks({.write = [](int, const void*, std::size_t) -> std::optional<ssize_t> {
    errno = EIO;
    return -1;
  }});
  EXPECT_EQ(buffer.sputc('x'), traits::eof());
}

TEST_F(SerialibTest, SetbufInstallsNothing) {
  char area[64];
  EXPECT_EQ(buffer.pubsetbuf(area, sizeof area), &buffer);
  EXPECT_EQ(buffer.sputc('q'), 'q');
  EXPECT_EQ(calls(SysCall::write), 1u);  // still unbuffered
}

TEST(SerialibClosed, NoPortMeansNoSystemCalls) {
  serialib buffer;
  reset_calls();
  char out[4];
  EXPECT_EQ(buffer.sgetn(out, 4), 0);
  EXPECT_EQ(buffer.sputn("ab", 2), 0);
  EXPECT_EQ(buffer.sgetc(), traits::eof());
  EXPECT_EQ(buffer.sputc('a'), traits::eof());
  EXPECT_EQ(buffer.in_avail(), 0);
  EXPECT_EQ(calls(SysCall::read) + calls(SysCall::write) + calls(SysCall::fcntl), 0u);
}

TEST(SerialibLifetime, DestructionClosesTheDescriptorOnce) {
  PtyPair pty;
  int fd = -1;
  reset_calls();
  {
    serialib buffer;
    buffer.fd = fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  }
  EXPECT_EQ(calls(SysCall::close), 1u);
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

// The wall clock, scripted: each call returns the next reading.
struct ClockCase {
  const char* name;
  std::vector<timeval> readings;  // start, then one per time check
  unsigned expected_reads;
};

void PrintTo(const ClockCase& c, std::ostream* os) {
  *os << c.name;
}

class SerialibClock : public ::testing::TestWithParam<ClockCase> {};

TEST_P(SerialibClock, TimeChecksComeBeforeEveryRead) {
  PtyPair pty;
  serialib buffer;
  buffer.fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  const auto& readings = GetParam().readings;
  std::size_t next = 0;
  unsigned reads = 0;
  ScopedHooks hooks({
      .read = [&](int, void*, std::size_t) -> std::optional<ssize_t> {
        ++reads;
        return 0;
      },
      .gettimeofday = [&](timeval* tv) -> std::optional<int> {
        *tv = readings[std::min(next++, readings.size() - 1)];
        return 0;
      },
      .usleep = [](useconds_t) -> std::optional<int> { return 0; },
  });
  char out[4];
  EXPECT_EQ(buffer.sgetn(out, 4), 0);
  EXPECT_EQ(reads, GetParam().expected_reads);
}

INSTANTIATE_TEST_SUITE_P(
    Readings, SerialibClock,
    ::testing::Values(
        // 999.999 ms with a borrowed second still reads; 1000 ms ends the request.
        ClockCase{"Borrow", {{10, 900000}, {10, 900000}, {11, 899999}, {11, 900000}}, 2},
        ClockCase{"Limit", {{5, 0}, {5, 999000}, {6, 0}}, 1},
        // The clock set back ends the request at the next check.
        ClockCase{"SetBack", {{100, 0}, {100, 10}, {99, 999999}}, 1},
        ClockCase{"FarBack", {{100, 0}, {40, 0}}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
