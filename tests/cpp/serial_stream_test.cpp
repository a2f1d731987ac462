#include "IO/SerialStream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Interpose.h"
#include "PtyPair.h"
#include "Timing.h"

namespace {

namespace fs = std::filesystem;
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

// Paths a user may mistype for a port. Those that open are let go as if they had not; a folder
// and a socket do not even open read-write, and open() itself says why.
enum class Node { file, folder, fifo, socket, null_device, zero_device };

struct NodeCase {
  const char* name;
  Node node;
  int expected_errno;
};

void PrintTo(const NodeCase& c, std::ostream* os) {
  *os << c.name;
}

class SerialStreamNotATerminal : public ::testing::TestWithParam<NodeCase> {
 protected:
  void SetUp() override {
    std::string name = (fs::temp_directory_path() / "orvex-nodes-XXXXXX").string();
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    folder = name;
  }
  void TearDown() override {
    if (fifo_reader >= 0) real::close(fifo_reader);
    if (socket_fd >= 0) real::close(socket_fd);
    fs::remove_all(folder);
  }

  // The node under test, with whatever it holds before the stream meets it.
  std::string make_node() {
    const std::string path = folder / "port";
    switch (GetParam().node) {
      case Node::file:
        std::ofstream(path) << file_contents;
        return path;
      case Node::folder:
        fs::create_directory(path);
        return path;
      case Node::fifo:
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        // A reader, so that anything written would wait in the pipe to be found.
        fifo_reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
        return path;
      case Node::socket: {
        socket_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(socket_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return path;
      }
      case Node::null_device:
        return "/dev/null";
      case Node::zero_device:
        return "/dev/zero";
    }
    return {};
  }

  // Nothing the stream did reached the node.
  void expect_untouched(const std::string& path) const {
    if (GetParam().node == Node::file) {
      std::ifstream in(path);
      const std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ(now, file_contents);
      EXPECT_EQ(fs::file_size(path), file_contents.size());
    }
    if (GetParam().node == Node::fifo) {
      // Its only writer has closed: what it wrote would be read here before the end of the pipe.
      char byte;
      EXPECT_EQ(real::read(fifo_reader, &byte, 1), 0);
    }
  }

  const std::string file_contents = "a log that must survive";

 private:
  fs::path folder;
  int fifo_reader = -1;
  int socket_fd = -1;
};

TEST_P(SerialStreamNotATerminal, FailsToOpenAndIsNeverWrittenTo) {
  const std::string path = make_node();
  // Only the modem-line requests are the stream's own: a static C library's tcgetattr and
  // tcflush come through ioctl too.
  std::vector<int> modem_fds;
  ScopedHooks hooks({.ioctl = [&](int fd, unsigned long request, void*) -> std::optional<int> {
    if (request == TIOCMGET || request == TIOCMSET) modem_fds.push_back(fd);
    return std::nullopt;
  }});
  reset_calls();
  SerialStream stream(path.c_str(), false);
  errno = 0;
  EXPECT_EQ(stream.Open(), -2);
  EXPECT_EQ(errno, GetParam().expected_errno);
  EXPECT_EQ(stream.port()->fd, -1);
  EXPECT_TRUE(stream.good());
  // Let go as it was found: closed again, its flags and settings never changed.
  const bool opened = GetParam().expected_errno == ENOTTY;
  EXPECT_EQ(calls(SysCall::close), opened ? 1u : 0u);
  EXPECT_EQ(calls(SysCall::fcntl), 0u);
  EXPECT_EQ(modem_fds, (std::vector<int>{-1, -1}));

  // It then behaves as a port that did not open: a write fails, a read finds nothing, at once.
  stream.write("\x2a\x01\x02", 3);
  EXPECT_TRUE(stream.bad());
  SerialStream reader(path.c_str(), true);
  char byte;
  EXPECT_LT(elapsed_ms([&] { reader.read(&byte, 1); }), at_once_ms);
  EXPECT_TRUE(reader.eof() && reader.fail());
  EXPECT_EQ(calls(SysCall::write) + calls(SysCall::read), 0u);
  expect_untouched(path);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SerialStreamNotATerminal,
    ::testing::Values(NodeCase{"RegularFile", Node::file, ENOTTY},
                      NodeCase{"Folder", Node::folder, EISDIR},
                      NodeCase{"Fifo", Node::fifo, ENOTTY},
                      NodeCase{"Socket", Node::socket, ENXIO},
                      NodeCase{"DevNull", Node::null_device, ENOTTY},
                      NodeCase{"DevZero", Node::zero_device, ENOTTY}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SerialStreamOpen, MissingPathLeavesOpensErrno) {
  SerialStream stream("/dev/orvex-no-such-port", false);
  EXPECT_EQ(stream.Open(), -2);
  EXPECT_EQ(errno, ENOENT);  // not the modem-line calls' complaint about descriptor -1
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
