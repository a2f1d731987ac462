// The guardian and the port lock at the wire of a pseudo-terminal: a program that ends without
// standing its guardian down gets zero force written after it, one that stands it down gets
// nothing written and the port let go; a second open file of the port is refused the lock.

#include "Haptics/Guardian.h"
#include "Haptics/PortLock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "PtyPair.h"

namespace {

using namespace Orvex::HardwareAPI;
using Haptics::Guardian;
using Haptics::PortLock;
using Orvex::Testing::Bytes;
using Orvex::Testing::PtyPair;

// The force command for zero: header 42, then three little-endian float zeros.
const Bytes zero_force = {42, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

int open_port(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); }

TEST(Guardian, WritesZeroForceOnlyAfterItsProgramEnded) {
  PtyPair device;
  const pid_t program = ::fork();
  ASSERT_GE(program, 0);
  if (program == 0) {
    const int port = open_port(device.path());
    Guardian guardian;
    if (port < 0 || !guardian.start(port, device.path())) ::_exit(1);
    ::usleep(100 * 1000);  // it lives, so the guardian stays silent
    ::_exit(0);            // an end without stand-down, as a killed program's
  }
  EXPECT_TRUE(device.drain(std::chrono::milliseconds(80)).empty());
  int status = 0;
  ASSERT_EQ(::waitpid(program, &status, 0), program);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(device.receive(zero_force.size()), zero_force);
  EXPECT_TRUE(device.drain().empty());
}

TEST(Guardian, StandsDownWithoutWritingAndLetsThePortGo) {
  PtyPair device;
  const int port = open_port(device.path());
  ASSERT_GE(port, 0);
  PortLock lock = PortLock::take(port);
  ASSERT_TRUE(lock);
  Guardian guardian;
  ASSERT_TRUE(guardian.start(port, device.path())) << Guardian::problem();
  const pid_t watcher = guardian.process();
  guardian.stand_down();
  EXPECT_FALSE(guardian.running());
  // Waited for: gone, with its duplicate of the port.
  EXPECT_EQ(::kill(watcher, 0), -1);
  lock.release();
  const int other = open_port(device.path());
  EXPECT_TRUE(PortLock::take(other));
  ::close(other);
  ::close(port);
  EXPECT_TRUE(device.drain(std::chrono::milliseconds(100)).empty());
}

TEST(Guardian, AMissingProgramIsAProblemNamed) {
  ::setenv("ORVEX_GUARDIAN", "/nonexistent/orvex-guardian", 1);
  const std::string program = Guardian::program();
  PtyPair device;
  const int port = open_port(device.path());
  Guardian guardian;
  EXPECT_FALSE(guardian.start(port, device.path()));
  EXPECT_EQ(Guardian::problem(),
            "/nonexistent/orvex-guardian could not be started: No such file or directory");
  ::close(port);
  EXPECT_EQ(program, "/nonexistent/orvex-guardian");
  ::unsetenv("ORVEX_GUARDIAN");
}

TEST(PortLock, ASecondOpenFileOfThePortIsRefusedAndToldTheHolder) {
  PtyPair device;
  const int first = open_port(device.path());
  const int second = open_port(device.path());
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  {
    PortLock held = PortLock::take(first);
    ASSERT_TRUE(held);
    EXPECT_FALSE(PortLock::take(second));
    EXPECT_EQ(PortLock::holder(second), ::getpid());
  }
  // Released with the lock object.
  EXPECT_TRUE(PortLock::take(second));
  ::close(first);
  ::close(second);
}

}  // namespace
