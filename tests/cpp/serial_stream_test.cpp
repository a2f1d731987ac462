#include "IO/SerialStream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "Interpose.h"
#include "PtyPair.h"
#include "Timing.h"

namespace {

using namespace Orvex::Testing;
using Orvex::HardwareAPI::IO::SerialStream;

TEST(SerialStreamOpen, ConfiguresThePortAsARawLine) {
  PtyPair pty;
  // Start from a cooked, slow, parity line so that every setting must be made by the stream.
  termios cooked = pty.line_settings();
  cfsetispeed(&cooked, B9600);
  cfsetospeed(&cooked, B9600);
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  cooked.c_iflag |= IXON | ICRNL;
  cooked.c_oflag |= OPOST;
  cooked.c_cflag |= PARENB | CSTOPB | HUPCL;
  cooked.c_cc[VMIN] = 1;
  pty.set_line_settings(cooked);

  int open_flags = -1;
  ScopedHooks hooks({.open = [&](const char*, int flags) -> std::optional<int> {
    open_flags = flags;
    return std::nullopt;
  }});
  SerialStream stream(pty.path().c_str(), false);
  EXPECT_TRUE(stream.bad());  // no buffer until Open
  ASSERT_EQ(stream.Open(), 1);
  EXPECT_TRUE(stream.good());
  EXPECT_EQ(open_flags, O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_EQ(::fcntl(stream.port()->fd, F_GETFL) & (O_NONBLOCK | O_ACCMODE), O_NONBLOCK | O_RDWR);

  const termios line = pty.line_settings();
  EXPECT_EQ(cfgetispeed(&line), B115200);
  EXPECT_EQ(cfgetospeed(&line), B115200);
  EXPECT_EQ(line.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
  EXPECT_EQ(line.c_oflag, 0u);
  EXPECT_EQ(line.c_lflag, 0u);
  EXPECT_EQ(line.c_cflag & ~CBAUD, static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
  EXPECT_EQ(line.c_cc[VMIN], 0);
  EXPECT_EQ(line.c_cc[VTIME], 0);
}

// Pseudo-terminals have no modem lines, so the modem-line calls are observed at the boundary.
struct ModemCase {
  const char* name;
  bool get_fails;
  int reported;
  int expected_set;
};

void PrintTo(const ModemCase& c, std::ostream* os) {
  *os << c.name;
}

class SerialStreamDtr : public ::testing::TestWithParam<ModemCase> {};

TEST_P(SerialStreamDtr, RaisesDtrOverTheReportedLines) {
  PtyPair pty;
  int set_to = -1;
  ScopedHooks hooks({.ioctl = [&](int, unsigned long request, void* arg) -> std::optional<int> {
    int* bits = static_cast<int*>(arg);
    if (request == TIOCMGET) {
      if (GetParam().get_fails) return -1;
      *bits = GetParam().reported;
      return 0;
    }
    if (request == TIOCMSET) set_to = *bits;
    return std::nullopt;
  }});
  SerialStream stream(pty.path().c_str(), true);
  EXPECT_EQ(set_to, GetParam().expected_set);
}

INSTANTIATE_TEST_SUITE_P(ModemLines, SerialStreamDtr,
                         ::testing::Values(ModemCase{"KeepsOthers", false, TIOCM_RTS | TIOCM_CTS,
                                                     TIOCM_RTS | TIOCM_CTS | TIOCM_DTR},
                                           ModemCase{"GetFails", true, TIOCM_RTS, TIOCM_DTR}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SerialStreamOpen, MissingPathFailsQuietlyAndLaterIoFails) {
  SerialStream stream("/dev/orvex-no-such-port", false);
  EXPECT_EQ(stream.Open(), -2);
  EXPECT_TRUE(stream.good());
  EXPECT_EQ(stream.port()->fd, -1);
  reset_calls();
  stream.write("a", 1);
  EXPECT_TRUE(stream.bad());
  char c;
  SerialStream other("/dev/orvex-no-such-port", true);
  other.read(&c, 1);
  EXPECT_TRUE(other.eof() && other.fail());
  EXPECT_EQ(calls(SysCall::read) + calls(SysCall::write), 0u);
}

TEST(SerialStreamOpen, NullPathFailsWithoutOpening) {
  reset_calls();
  SerialStream stream(nullptr, false);
  EXPECT_EQ(stream.Open(), -2);
  EXPECT_EQ(calls(SysCall::open), 0u);
}

TEST(SerialStreamOpen, NonTtyFileOpens) {
  char name[] = "/tmp/orvex-plain-XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  ::close(fd);
  {
    SerialStream stream(name, false);
    EXPECT_EQ(stream.Open(), 1);
  }
  ::unlink(name);
}

TEST(SerialStreamOpen, PathIsCopied) {
  PtyPair pty;
  std::string path = pty.path();
  SerialStream stream(path.c_str(), false);
  path.assign(path.size(), 'x');
  EXPECT_EQ(stream.Open(), 1);
}

TEST(SerialStreamOpen, InputWaitingBeforeOpenIsDropped) {
  PtyPair pty;
  pty.send({0x2B, 1, 2, 3});  // a late reply to a stream that has given up
  SerialStream stream(pty.path().c_str(), true);
  pty.send({0x0B});
  char first = 0;
  stream.read(&first, 1);
  EXPECT_EQ(first, 0x0B);
}

TEST(SerialStreamLifetime, NeverOpenedFailsAtOnceAndClosesNothing) {
  reset_calls();
  {
    SerialStream stream("/dev/null", false);
    char c;
    const auto ms = elapsed_ms([&] { stream.read(&c, 1); });
    EXPECT_LT(ms, at_once_ms);
    stream.write("a", 1);
    EXPECT_TRUE(stream.bad());
  }
  EXPECT_EQ(calls(SysCall::open) + calls(SysCall::close) + calls(SysCall::read), 0u);
}

TEST(SerialStreamLifetime, DestructionClosesExactlyOnce) {
  PtyPair pty;
  int fd = -1;
  int closes_of_fd = 0;
  {
    ScopedHooks hooks({.close = [&](int closing) -> std::optional<int> {
      if (closing == fd) ++closes_of_fd;
      return std::nullopt;
    }});
    {
      SerialStream stream(pty.path().c_str(), true);
      fd = stream.port()->fd;
      ASSERT_GE(fd, 0);
    }
  }
  EXPECT_EQ(closes_of_fd, 1);
}

TEST(SerialStreamIo, WritesAndReadsThroughThePort) {
  PtyPair pty;
  SerialStream stream(pty.path().c_str(), true);
  stream.write("\x0a", 1);
  EXPECT_EQ(pty.receive(1), (Bytes{0x0a}));
  pty.send({0x0b, 0x2c});
  char got[2];
  stream.read(got, 2);
  EXPECT_TRUE(stream.good());
  EXPECT_EQ(got[1], 0x2c);
}

}  // namespace
