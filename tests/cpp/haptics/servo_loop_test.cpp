// The servo loop against a Corvane stand-in on a pseudo-terminal: start and its refusals, the
// forces on the wire, stop, a lost device, and a loop thread that allocates nothing.

#include "Haptics/ServoLoop.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "Haptics/ConstantForce.h"
#include "Haptics/Damper.h"
#include "Haptics/StreamClaim.h"
#include "Interpose.h"
#include "PtyPair.h"

// Allocations are counted on every thread the test did not mark as its own: the loop's.
namespace {
std::atomic<std::size_t> loop_allocations{0};
thread_local bool test_thread = false;
}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (!test_thread) ++loop_allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using namespace Orvex::Testing;
using namespace Orvex::HardwareAPI::Haptics;
using Orvex::HardwareAPI::IO::SerialStream;
using namespace std::chrono_literals;

const Bytes device_info = [] {
  Bytes reply{11, 0x2C, 0x01, 4, 2, 7};
  reply.resize(22, 0);
  return reply;
}();

void put_f32(std::uint8_t* at, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

float get_f32(const std::uint8_t* at) {
  std::uint32_t bits = 0;
  for (int i = 0; i < 4; ++i) bits |= std::uint32_t{at[i]} << (8 * i);
  float value;
  std::memcpy(&value, &bits, 4);
  return value;
}

// Answers the wake-up with model 4 (or with what it is told) and each force command with a
// fixed state, on a thread of its own; remembers the last force.
class CorvaneStandIn {
 public:
  CorvaneStandIn(const PtyPair& pty, std::array<float, 6> state,
                 Bytes wakeup_reply = device_info)
      : pty(pty), state(state), wakeup_reply(std::move(wakeup_reply)),
        worker([this] { serve(); }) {}
  ~CorvaneStandIn() {
    done = true;
    worker.join();
  }

  void go_silent() { silent = true; }
  std::array<float, 3> last_force() {
    std::lock_guard<std::mutex> hold(lock);
    return last;
  }
  int forces() const { return count; }

  // Waits until the last force is the wanted one; the last force either way.
  std::array<float, 3> wait_for(const std::array<float, 3>& wanted,
                                std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (count > 0 && last_force() == wanted) break;
      std::this_thread::sleep_for(2ms);
    }
    return last_force();
  }

 private:
  void serve() {
    test_thread = true;
    Bytes pending;
    while (!done) {
      pollfd p{pty.master(), POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      std::uint8_t chunk[256];
      const ssize_t r = real::read(pty.master(), chunk, sizeof chunk);
      if (r <= 0) continue;
      pending.insert(pending.end(), chunk, chunk + r);
      while (!pending.empty()) {
        if (pending[0] == 10) {
          pending.erase(pending.begin());
          if (!silent) pty.send(wakeup_reply);
        } else if (pending[0] == 42 && pending.size() >= 13) {
          {
            std::lock_guard<std::mutex> hold(lock);
            for (int i = 0; i < 3; ++i) last[i] = get_f32(&pending[1 + 4 * i]);
          }
          ++count;
          pending.erase(pending.begin(), pending.begin() + 13);
          if (silent) continue;
          Bytes reply(25);
          reply[0] = 43;
          for (int i = 0; i < 6; ++i) put_f32(&reply[1 + 4 * i], state[i]);
          pty.send(reply);
        } else if (pending[0] == 42) {
          break;
        } else {
          pending.erase(pending.begin());
        }
      }
    }
  }

  const PtyPair& pty;
  const std::array<float, 6> state;
  const Bytes wakeup_reply;
  std::atomic<bool> done{false}, silent{false};
  std::atomic<int> count{0};
  std::mutex lock;
  std::array<float, 3> last{};
  std::thread worker;
};

class ServoLoopTest : public testing::Test {
 protected:
  void SetUp() override { test_thread = true; }

  PtyPair pty;
  SerialStream stream{pty.path().c_str(), true};
};

ServoSettings without_watchdog() {
  ServoSettings settings;
  settings.watchdog_s = 0;
  return settings;
}

TEST_F(ServoLoopTest, SendsTheEffectsPlusTheApplicationForceFromTheLastReply) {
  CorvaneStandIn device(pty, {0, 0, 0, 0.5f, -1, 2});
  ServoLoop loop(&stream, without_watchdog());
  ASSERT_EQ(loop.add(std::make_shared<Damper>(2)), AddResult::added);
  ASSERT_EQ(loop.add(std::make_shared<ConstantForce>(Vector3d{1, 0, 0})), AddResult::added);
  ASSERT_TRUE(loop.set_force({0, 0, 0.25}));
  ASSERT_EQ(loop.start(), StartResult::started);
  EXPECT_TRUE(loop.running());
  EXPECT_EQ(loop.info().device_id, 300);
  EXPECT_EQ(device.wait_for({0, 2, -3.75f}), (std::array<float, 3>{0, 2, -3.75f}));
  loop.stop();
  EXPECT_FALSE(loop.running());
  EXPECT_EQ(device.last_force(), (std::array<float, 3>{0, 0, 0}));
  EXPECT_EQ(loop.stats().stop_reason, StopReason::stop);
}

TEST_F(ServoLoopTest, RemovedEffectsStopCountingAndTheTableHasAFixedSize) {
  CorvaneStandIn device(pty, {});
  ServoLoop loop(&stream, without_watchdog());
  auto push = std::make_shared<ConstantForce>(Vector3d{0, 1, 0});
  ASSERT_EQ(loop.add(push), AddResult::added);
  EXPECT_EQ(loop.add(push), AddResult::duplicate);
  ASSERT_EQ(loop.start(), StartResult::started);
  EXPECT_EQ(device.wait_for({0, 1, 0}), (std::array<float, 3>{0, 1, 0}));
  push->set_force({0, 0, 3});
  EXPECT_EQ(device.wait_for({0, 0, 3}), (std::array<float, 3>{0, 0, 3}));
  EXPECT_TRUE(loop.remove(push.get()));
  EXPECT_FALSE(loop.remove(push.get()));
  EXPECT_EQ(device.wait_for({0, 0, 0}), (std::array<float, 3>{0, 0, 0}));
  for (std::size_t i = 0; i < ServoLoop::max_effects; ++i)
    EXPECT_EQ(loop.add(std::make_shared<Damper>(1)), AddResult::added);
  EXPECT_EQ(loop.add(std::make_shared<Damper>(1)), AddResult::full);
  loop.clear();
  EXPECT_EQ(loop.add(push), AddResult::added);
}

TEST_F(ServoLoopTest, StartRefusesWhatCannotRunAndLeavesNothingRunning) {
  ServoSettings too_fast;
  too_fast.rate_hz = 20000;
  EXPECT_STREQ(too_fast.problem(), "rate_hz must be in (0, 10000]");
  EXPECT_EQ(ServoLoop(&stream, too_fast).start(), StartResult::invalid_settings);

  {
    StreamClaim held = StreamClaim::acquire(&stream);
    EXPECT_EQ(ServoLoop(&stream, {}).start(), StartResult::stream_claimed);
  }

  Bytes other_model = device_info;
  other_model[3] = 3;
  CorvaneStandIn not_a_corvane(pty, {}, other_model);
  ServoLoop loop(&stream, {});
  EXPECT_EQ(loop.start(), StartResult::not_a_corvane);
  EXPECT_FALSE(loop.running());
  // The claim went back: another owner may take the stream.
  EXPECT_TRUE(StreamClaim::acquire(&stream));
}

TEST_F(ServoLoopTest, ASilentDeviceStopsTheLoopAsLostWithinAboutASecond) {
  CorvaneStandIn device(pty, {});
  ServoLoop loop(&stream, without_watchdog());
  ASSERT_EQ(loop.start(), StartResult::started);
  device.wait_for({0, 0, 0});
  device.go_silent();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (loop.running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(loop.running());
  EXPECT_EQ(loop.stats().stop_reason, StopReason::device_lost);
  const int sent = device.forces();
  loop.stop();
  EXPECT_EQ(device.forces(), sent) << "no zero-force exchange on a lost device";
}

TEST_F(ServoLoopTest, TheLoopThreadAllocatesNothing) {
  CorvaneStandIn device(pty, {0.01f, 0.02f, 0.03f, 0, 0, 0});
  ServoSettings settings;
  settings.trace_capacity = 64;
  settings.watchdog_s = 0.05;
  ServoLoop loop(&stream, settings);
  loop.add(std::make_shared<Damper>(1));
  ASSERT_EQ(loop.start(), StartResult::started);
  device.wait_for({0, 0, 0});
  const std::size_t before = loop_allocations.load();
  const std::uint64_t cycles = loop.stats().cycles;
  std::this_thread::sleep_for(300ms);  // the watchdog trips meanwhile, too
  EXPECT_GT(loop.stats().cycles, cycles + 10);
  EXPECT_EQ(loop_allocations.load(), before);
  std::vector<TraceRow> rows(loop.trace_capacity());
  EXPECT_EQ(loop.copy_trace(rows.data()), 64u);
  EXPECT_GE(loop.stats().watchdog_trips, 1u);
}

}  // namespace
