// The listener's framer on a pipe, with its clock given: a message in any two pieces is taken
// whole once; one that stops short breaks off at its deadline and not before; a byte that starts
// no message is dropped alone; bytes put back are read again; a message held back for what
// follows it comes again with those bytes, or alone at its deadline.

#include "HandleFramer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

namespace {

using Orvex::HardwareAPI::Haptics::HandleFramer;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t ms = 1'000'000;

const Bytes info = {0xD0, 0x05, 0x2C, 0x01, 0x02, 0x03, 0x04};
const Bytes error = {0xDF, 0x2C, 0x01, 0x07};
// A status of handle 300 with three bytes of user data.
const Bytes status = {0xDA, 0x2C, 0x01, 0x01, 0xC8, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0xBF,
                      0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0x3F, 0x03, 0x07, 0x08, 0x09};

class HandleFramerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::pipe(ends), 0);
    ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
  }
  void TearDown() override {
    ::close(ends[0]);
    ::close(ends[1]);
  }
  void arrive(const Bytes& bytes, std::int64_t now_ns) {
    ASSERT_EQ(::write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(framer.read_from(ends[0], now_ns), HandleFramer::Read::some);
  }
  Bytes taken() const { return Bytes(framer.message(), framer.message() + framer.size()); }

  int ends[2] = {-1, -1};
  HandleFramer framer;
};

class InTwoPieces : public HandleFramerTest,
                    public ::testing::WithParamInterface<std::tuple<Bytes, int>> {};

TEST_P(InTwoPieces, IsTakenWholeOnce) {
  const auto& [message, split] = GetParam();
  arrive(Bytes(message.begin(), message.begin() + split), 0);
  EXPECT_EQ(framer.next(1 * ms), HandleFramer::Next::wait);
  arrive(Bytes(message.begin() + split, message.end()), 50 * ms);
  ASSERT_EQ(framer.next(50 * ms), HandleFramer::Next::message);
  EXPECT_EQ(taken(), message);
  EXPECT_EQ(framer.next(500 * ms), HandleFramer::Next::wait);
  EXPECT_EQ(framer.deadline_ns(), 0);
}

std::vector<std::tuple<Bytes, int>> every_split() {
  std::vector<std::tuple<Bytes, int>> pieces;
  for (const Bytes& message : {info, error, status})
    for (int split = 1; split < static_cast<int>(message.size()); ++split)
      pieces.emplace_back(message, split);
  return pieces;
}

INSTANTIATE_TEST_SUITE_P(EverySplit, InTwoPieces, ::testing::ValuesIn(every_split()));

TEST_F(HandleFramerTest, AMessageThatStopsShortBreaksOffAtItsDeadlineWithWhatFollowed) {
  arrive(Bytes(status.begin(), status.begin() + 10), 5 * ms);
  EXPECT_EQ(framer.deadline_ns(), 5 * ms + HandleFramer::message_wait_ns);
  arrive({0xAA}, 60 * ms);
  EXPECT_EQ(framer.next(5 * ms + HandleFramer::message_wait_ns), HandleFramer::Next::wait);
  EXPECT_EQ(framer.next(6 * ms + HandleFramer::message_wait_ns), HandleFramer::Next::broken_off);
  EXPECT_EQ(framer.next(200 * ms), HandleFramer::Next::wait);
  // What comes next is read afresh.
  arrive(error, 300 * ms);
  ASSERT_EQ(framer.next(300 * ms), HandleFramer::Next::message);
  EXPECT_EQ(taken(), error);
}

TEST_F(HandleFramerTest, AByteThatStartsNoMessageIsDroppedAlone) {
  Bytes line = {0x00, 0x2C};
  line.insert(line.end(), info.begin(), info.end());
  arrive(line, 0);
  EXPECT_EQ(framer.next(0), HandleFramer::Next::unknown);
  EXPECT_EQ(framer.next(0), HandleFramer::Next::unknown);
  ASSERT_EQ(framer.next(0), HandleFramer::Next::message);
  EXPECT_EQ(taken(), info);
}

TEST_F(HandleFramerTest, BytesPutBackAreReadAgain) {
  Bytes line = info;
  line.insert(line.end(), error.begin(), error.end());
  arrive(line, 0);
  ASSERT_EQ(framer.next(0), HandleFramer::Next::message);
  // As if the information reply had swallowed four bytes of the error reply.
  framer.put_back(3);
  ASSERT_EQ(framer.next(0), HandleFramer::Next::unknown);  // 0x2C: its device id
  EXPECT_EQ(framer.next(0), HandleFramer::Next::unknown);
  EXPECT_EQ(framer.next(0), HandleFramer::Next::unknown);
  ASSERT_EQ(framer.next(0), HandleFramer::Next::message);
  EXPECT_EQ(taken(), error);
}

TEST_F(HandleFramerTest, AMessageHeldBackForWhatFollowsComesAgainWithItOrAloneAtItsDeadline) {
  arrive(status, 5 * ms);
  ASSERT_EQ(framer.next(5 * ms), HandleFramer::Next::message);
  EXPECT_EQ(framer.following().size, 0u);
  EXPECT_FALSE(framer.following().final);
  framer.await_following();
  EXPECT_EQ(framer.next(6 * ms), HandleFramer::Next::wait);
  EXPECT_EQ(framer.deadline_ns(), 5 * ms + HandleFramer::message_wait_ns);

  arrive(Bytes(error.begin(), error.begin() + 2), 20 * ms);
  ASSERT_EQ(framer.next(20 * ms), HandleFramer::Next::message);
  EXPECT_EQ(taken(), status);
  ASSERT_EQ(framer.following().size, 2u);
  EXPECT_EQ(framer.following().bytes[0], error[0]);
  EXPECT_FALSE(framer.following().final);

  // Taken, then the rest of the error reply completes it.
  arrive(Bytes(error.begin() + 2, error.end()), 30 * ms);
  ASSERT_EQ(framer.next(30 * ms), HandleFramer::Next::message);
  EXPECT_EQ(taken(), error);

  arrive(status, 40 * ms);
  ASSERT_EQ(framer.next(40 * ms), HandleFramer::Next::message);
  framer.await_following();
  // A read of nothing is no following byte.
  ASSERT_EQ(framer.read_from(ends[0], 50 * ms), HandleFramer::Read::some);
  EXPECT_EQ(framer.next(40 * ms + HandleFramer::message_wait_ns), HandleFramer::Next::wait);
  ASSERT_EQ(framer.next(41 * ms + HandleFramer::message_wait_ns), HandleFramer::Next::message);
  EXPECT_EQ(taken(), status);
  EXPECT_EQ(framer.following().size, 0u);
  EXPECT_TRUE(framer.following().final);
  EXPECT_EQ(framer.next(500 * ms), HandleFramer::Next::wait);
}

TEST_F(HandleFramerTest, EveryWholeMessageOfOneReadIsTaken) {
  Bytes line;
  for (int i = 0; i < 40; ++i) line.insert(line.end(), status.begin(), status.end());
  arrive(line, 0);
  int messages = 0;
  while (framer.next(0) == HandleFramer::Next::message) ++messages;
  EXPECT_EQ(messages, 40);
}

TEST_F(HandleFramerTest, AClosedPortIsHungUp) {
  ::close(ends[0]);
  ends[0] = ::open("/dev/null", O_WRONLY);
  EXPECT_EQ(framer.read_from(ends[0], 0), HandleFramer::Read::hung_up);
}

}  // namespace
