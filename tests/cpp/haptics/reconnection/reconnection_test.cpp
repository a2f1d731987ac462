// Reconnection, with the device kind's part stood in: what an attempt says when nothing opens,
// when another driver holds the port, and when the identity refuses; that an adopted port takes
// the stream's descriptor; and that the wait gives up on time.

#include "Reconnection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "Haptics/MonotonicClock.h"
#include "PtyPair.h"

namespace {

using namespace Orvex::HardwareAPI::Haptics;
using Orvex::Testing::PtyPair;
using Attempt = Reconnection::Attempt;

// Adopts what answers, or refuses it with a text, and remembers the port it was shown.
struct StandIn : DeviceIdentity {
  bool same = true;
  int shown = -1;
  bool identify(int port, std::int64_t, ReconnectRefusal& refusal) override {
    shown = port;
    if (!same) refusal.say("another Corvane, UUID %s", "fedcba98-7654-3210-fedc-ba9876543210");
    return same;
  }
};

// The stream's descriptor: a placeholder the adopted port replaces.
struct StreamDescriptor {
  int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  ~StreamDescriptor() { ::close(fd); }
};

TEST(Reconnection, SaysWhatAnsweredAndWhyNothingWasAdopted) {
  PtyPair pty;
  StreamDescriptor stream;
  StandIn identity;
  Reconnection reconnection(0);
  EXPECT_EQ(reconnection.last_refusal(), "");

  EXPECT_EQ(reconnection.attempt_from_owner("/nonexistent/orvex-port", stream.fd, identity, 0),
            Attempt::waiting);
  EXPECT_EQ(reconnection.last_refusal().rfind("nothing opens at /nonexistent/orvex-port: ", 0), 0u)
      << reconnection.last_refusal();

  const int holder = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(reconnection.attempt_from_owner(pty.path(), stream.fd, identity, 0), Attempt::waiting);
  EXPECT_EQ(reconnection.last_refusal(), "another driver holds " + pty.path());
  EXPECT_EQ(identity.shown, -1) << "a held port is not woken";
  ::close(holder);

  identity.same = false;
  EXPECT_EQ(reconnection.attempt_from_owner(pty.path(), stream.fd, identity, 0), Attempt::waiting);
  EXPECT_EQ(reconnection.last_refusal(), "another Corvane, UUID fedcba98-7654-3210-fedc-ba9876543210");
  EXPECT_EQ(reconnection.reconnects(), 0u);
}

TEST(Reconnection, AnAdoptedPortTakesTheStreamsDescriptor) {
  PtyPair pty;
  StreamDescriptor stream;
  StandIn identity;
  Reconnection reconnection(0);
  ASSERT_EQ(reconnection.attempt_from_owner(pty.path(), stream.fd, identity, 0), Attempt::adopted);
  EXPECT_EQ(reconnection.reconnects(), 1u);
  EXPECT_NE(identity.shown, stream.fd);
  // The stream's descriptor is the port now: what is written to it reaches the device side.
  const char byte = 'x';
  ASSERT_EQ(::write(stream.fd, &byte, 1), 1);
  EXPECT_EQ(pty.receive(1), Orvex::Testing::Bytes{'x'});
  // The identity's own descriptor was closed: the stream's is the one left open on the port.
  EXPECT_EQ(::fcntl(identity.shown, F_GETFD), -1);
  reconnection.restart_from_owner();
  EXPECT_EQ(reconnection.reconnects(), 0u);
}

TEST(Reconnection, GivesUpOnlyOnceItsTimeAfterTheLossHasPassed) {
  StreamDescriptor stream;
  StandIn identity;
  Reconnection reconnection(0.2);
  reconnection.lost_from_owner(monotonic_ns());
  EXPECT_EQ(reconnection.attempt_from_owner("/nonexistent/orvex-port", stream.fd, identity, 0),
            Attempt::waiting);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(reconnection.attempt_from_owner("/nonexistent/orvex-port", stream.fd, identity, 0),
            Attempt::gave_up);
  // Without a give-up time the wait goes on.
  Reconnection patient(0);
  patient.lost_from_owner(monotonic_ns() - 3'600'000'000'000);
  EXPECT_EQ(patient.attempt_from_owner("/nonexistent/orvex-port", stream.fd, identity, 0),
            Attempt::waiting);
}

}  // namespace
