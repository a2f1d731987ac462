// The loop's exchange path against a stand-in on a pseudo-terminal, byte by byte: a reply cut
// short at any length is never completed with the next reply's bytes, input waiting when a
// command goes out is never that command's reply, the newest whole reply is taken, and a wrong
// header drops what is pending.

#include "CorvaneLink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "Interpose.h"
#include "MonotonicClock.h"
#include "PtyPair.h"

namespace {

using namespace Orvex::HardwareAPI;
using Haptics::CorvaneLink;
using Haptics::monotonic_ns;
using Orvex::Testing::Bytes;
using Orvex::Testing::PtyPair;

constexpr std::uint8_t state_code = 43;
constexpr std::int64_t window_ns = 20'000'000;

void put_float(Bytes& out, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

// A state reply whose six values are `base`, base+1, ..., so each reply is told apart.
Bytes state_reply(float base) {
  Bytes reply{state_code};
  for (int i = 0; i < 6; ++i) put_float(reply, base + static_cast<float>(i));
  return reply;
}

Bytes joined(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

class CorvaneLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = ::open(device.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(port, 0);
    link.attach(port);
  }
  void TearDown() override { ::close(port); }

  // One receive with a short window; `base` is the first value of the reply it took.
  CorvaneLink::Reply receive(float& base) {
    Devices::Vector3 position{}, velocity{};
    const CorvaneLink::Reply reply = link.receive_state(monotonic_ns() + window_ns, position,
                                                        velocity);
    base = position[0];
    if (reply == CorvaneLink::Reply::good) {
      // A whole reply is one reply's values, never a mix of two.
      for (int i = 0; i < 3; ++i) EXPECT_EQ(position[i], base + static_cast<float>(i));
      for (int i = 0; i < 3; ++i) EXPECT_EQ(velocity[i], base + static_cast<float>(3 + i));
    }
    return reply;
  }

  // Until bytes the stand-in sent can be read at the port: a pseudo-terminal hands them over
  // a moment later.
  void arrived() {
    pollfd readable{port, POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, 2000), 1);
  }
  // A zero force command; the stand-in takes it off the line.
  bool send() {
    const bool sent = link.send_force({0, 0, 0}, monotonic_ns() + window_ns);
    device.receive(13);
    return sent;
  }

  PtyPair device;
  int port = -1;
  CorvaneLink link;
};

TEST_F(CorvaneLinkTest, AWholeReplyIsTakenAndTheNewestOfSeveral) {
  float base = 0;
  device.send(state_reply(10));
  EXPECT_EQ(receive(base), CorvaneLink::Reply::good);
  EXPECT_EQ(base, 10);

  device.send(joined(joined(state_reply(20), state_reply(30)), state_reply(40)));
  EXPECT_EQ(receive(base), CorvaneLink::Reply::good);
  EXPECT_EQ(base, 40);
}

TEST_F(CorvaneLinkTest, NothingOnTheLineIsNoReplyAndAWrongHeaderDropsWhatIsPending) {
  float base = 0;
  EXPECT_EQ(receive(base), CorvaneLink::Reply::none);

  Bytes out_of_step = state_reply(10);
  out_of_step[0] = 42;
  device.send(joined(out_of_step, state_reply(20)));
  EXPECT_EQ(receive(base), CorvaneLink::Reply::bad);
  // The reply behind the bad one went with it; the next one is read whole.
  device.send(state_reply(30));
  EXPECT_EQ(receive(base), CorvaneLink::Reply::good);
  EXPECT_EQ(base, 30);
}

// What arrives between two commands answers the earlier one: a late reply, the rest of one that
// spanned its deadline, or one more after the reply taken (which then was the late one).
TEST_F(CorvaneLinkTest, InputWaitingWhenACommandGoesOutIsNeverItsReply) {
  float base = 0;
  ASSERT_TRUE(send());
  device.send(state_reply(10));
  ASSERT_EQ(receive(base), CorvaneLink::Reply::good);

  ASSERT_TRUE(send());
  EXPECT_FALSE(link.sent_after_stale_reply());
  EXPECT_EQ(receive(base), CorvaneLink::Reply::none);
  device.send(state_reply(20));  // late
  arrived();
  ASSERT_TRUE(send());
  EXPECT_FALSE(link.sent_after_stale_reply()) << "the cycle without a reply counts already";
  EXPECT_EQ(receive(base), CorvaneLink::Reply::none);
  device.send(state_reply(30));
  ASSERT_EQ(receive(base), CorvaneLink::Reply::good);
  EXPECT_EQ(base, 30);

  device.send(state_reply(35));  // one more after the reply taken
  arrived();
  ASSERT_TRUE(send());
  EXPECT_TRUE(link.sent_after_stale_reply());
  device.send(state_reply(40));
  ASSERT_EQ(receive(base), CorvaneLink::Reply::good);
  EXPECT_EQ(base, 40);
  ASSERT_TRUE(send());
  EXPECT_FALSE(link.sent_after_stale_reply());
}

// Every length a reply can be cut to, from its header code alone to one byte short.
class CutShort : public CorvaneLinkTest, public ::testing::WithParamInterface<int> {};

TEST_P(CutShort, TheNextReplyInTheSameWindowIsNeverMixedIntoIt) {
  const Bytes cut = state_reply(10);
  device.send(joined(Bytes(cut.begin(), cut.begin() + GetParam()), state_reply(20)));
  float base = 0;
  const CorvaneLink::Reply first = receive(base);
  EXPECT_NE(first, CorvaneLink::Reply::good);
  EXPECT_NE(first, CorvaneLink::Reply::hung_up);

  // In step again at the next exchange.
  ASSERT_TRUE(send());
  device.send(state_reply(30));
  ASSERT_EQ(receive(base), CorvaneLink::Reply::good);
  EXPECT_EQ(base, 30);
}

TEST_P(CutShort, IsBadAtItsDeadlineAndItsRestNeverStartsTheNextReply) {
  const Bytes cut = state_reply(10);
  device.send(Bytes(cut.begin(), cut.begin() + GetParam()));
  float base = 0;
  EXPECT_EQ(receive(base), CorvaneLink::Reply::bad);

  // The rest comes before the next command, or just after it, in front of that one's reply.
  device.send(Bytes(cut.begin() + GetParam(), cut.end()));
  arrived();
  ASSERT_TRUE(send());
  device.send(state_reply(20));
  ASSERT_EQ(receive(base), CorvaneLink::Reply::good);
  EXPECT_EQ(base, 20);

  device.send(Bytes(cut.begin(), cut.begin() + GetParam()));
  EXPECT_EQ(receive(base), CorvaneLink::Reply::bad);
  ASSERT_TRUE(send());
  device.send(joined(Bytes(cut.begin() + GetParam(), cut.end()), state_reply(30)));
  const CorvaneLink::Reply straddled = receive(base);
  EXPECT_TRUE(straddled == CorvaneLink::Reply::bad ||
              (straddled == CorvaneLink::Reply::good && base == 30));
}

INSTANTIATE_TEST_SUITE_P(AtEveryLength, CutShort, ::testing::Range(1, 25));

TEST_F(CorvaneLinkTest, AHangUpIsReported) {
  device.close_master();
  float base = 0;
  EXPECT_EQ(receive(base), CorvaneLink::Reply::hung_up);
}

}  // namespace
