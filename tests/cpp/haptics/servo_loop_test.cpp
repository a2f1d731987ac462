// The servo loop against a Corvane stand-in on a pseudo-terminal: start and its refusals, the
// forces on the wire, stop, a lost device, and a loop thread that allocates nothing.

#include "Haptics/ServoLoop.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <new>
#include <thread>
#include <vector>

#include "Haptics/ConstantForce.h"
#include "Haptics/Damper.h"
#include "Haptics/Spring.h"
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
// The non-throwing form too: its memory comes back through the replaced delete.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (!test_thread) ++loop_allocations;
  return std::malloc(n ? n : 1);
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
// state, on a thread of its own; remembers every force. Told to, it answers the next command
// with a reply out of step, or with a state no arm reaches; numbers its replies (the reply to
// the nth force command a position of n steps along x); or holds one reply back until the next
// command comes, then sends it 0.2 ms before that command's own.
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
  // The next wake-up reply stops after 10 of its 22 bytes.
  void cut_next_wakeup() { cut_wakeup = true; }
  void garble_next() { garble = true; }
  void number_replies(float step_m) { step = step_m; }
  void hold_reply_to(int command) { held = command; }
  void set_state(const std::array<float, 6>& next) {
    std::lock_guard<std::mutex> hold(lock);
    state = next;
  }
  std::array<float, 3> last_force() {
    std::lock_guard<std::mutex> hold(lock);
    return last;
  }
  std::vector<std::array<float, 3>> all_forces() {
    std::lock_guard<std::mutex> hold(lock);
    return log;
  }
  int forces() const { return count; }

  // Waits until a force sent from the nth on is the wanted one; where it is in the log, if it came.
  std::optional<std::size_t> wait_for_sent(const std::array<float, 3>& wanted,
                                           std::size_t from = 0,
                                           std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
      {
        std::lock_guard<std::mutex> hold(lock);
        for (std::size_t i = from; i < log.size(); ++i)
          if (log[i] == wanted) return i;
      }
      std::this_thread::sleep_for(2ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
  }

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
          if (cut_wakeup.exchange(false))
            pty.send(Bytes(wakeup_reply.begin(), wakeup_reply.begin() + 10));
          else if (!silent)
            pty.send(wakeup_reply);
        } else if (pending[0] == 42 && pending.size() >= 13) {
          Bytes reply(25);
          reply[0] = garble.exchange(false) ? 0x5A : 43;
          const int number = ++count;
          {
            std::lock_guard<std::mutex> hold(lock);
            for (int i = 0; i < 3; ++i) last[i] = get_f32(&pending[1 + 4 * i]);
            log.push_back(last);
            for (int i = 0; i < 6; ++i) put_f32(&reply[1 + 4 * i], state[i]);
          }
          if (step != 0) put_f32(&reply[1], static_cast<float>(number) * step);
          pending.erase(pending.begin(), pending.begin() + 13);
          if (silent) continue;
          if (number == held) {
            late = reply;
            continue;
          }
          if (!late.empty()) {
            pty.send(late);
            late.clear();
            std::this_thread::sleep_for(200us);
          }
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
  std::array<float, 6> state;  // under lock
  const Bytes wakeup_reply;
  std::atomic<bool> done{false}, silent{false}, garble{false}, cut_wakeup{false};
  std::atomic<float> step{0};
  std::atomic<int> count{0}, held{0};
  Bytes late;  // the held reply, the worker's
  std::mutex lock;
  std::array<float, 3> last{};
  std::vector<std::array<float, 3>> log;  // under lock
  std::thread worker;
};

class ServoLoopTest : public testing::Test {
 protected:
  void SetUp() override { test_thread = true; }

  PtyPair pty;
  SerialStream stream{pty.path().c_str(), true};
};

// The stand-in answers from a thread of the test's, which a loaded machine may hold up for longer
// than the default lost_after_s: only the test that loses the device on purpose keeps it.
ServoSettings without_watchdog() {
  ServoSettings settings;
  settings.watchdog_s = 0;
  settings.lost_after_s = 5;
  return settings;
}

TEST_F(ServoLoopTest, SendsTheEffectsPlusTheApplicationForceFromTheLastReply) {
  // A stand-in's position stands still: its velocity is kept slow enough that each reply is
  // still where the last one predicts.
  CorvaneStandIn device(pty, {0, 0, 0, 0.0625f, -0.125f, 0.25f});
  ServoLoop loop(&stream, without_watchdog());
  ASSERT_EQ(loop.add(std::make_shared<Damper>(2)), AddResult::added);
  ASSERT_EQ(loop.add(std::make_shared<ConstantForce>(Vector3d{1, 0, 0})), AddResult::added);
  ASSERT_TRUE(loop.set_force({0, 0, 0.25}));
  ASSERT_EQ(loop.start(), StartResult::started);
  EXPECT_TRUE(loop.running());
  EXPECT_EQ(loop.info().device_id, 300);
  EXPECT_EQ(device.wait_for({0.875f, 0.25f, -0.25f}), (std::array<float, 3>{0.875f, 0.25f, -0.25f}));
  loop.stop();
  EXPECT_FALSE(loop.running());
  EXPECT_EQ(device.wait_for({0, 0, 0}), (std::array<float, 3>{0, 0, 0}));
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
  EXPECT_STREQ(too_fast.problem(), "rate_hz must be in [1, 10000]");
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

TEST_F(ServoLoopTest, ASilentDeviceIsLostWithinLostAfterAndGetsAZeroForceLast) {
  CorvaneStandIn device(pty, {});
  ServoSettings settings = without_watchdog();
  settings.ramp_s = 0;
  settings.lost_after_s = 0.25;
  ServoLoop loop(&stream, settings);
  loop.set_force({2, 0, 0});
  ASSERT_EQ(loop.start(), StartResult::started);
  ASSERT_EQ(device.wait_for({2, 0, 0}), (std::array<float, 3>{2, 0, 0}));
  device.go_silent();  // still reads, answers nothing
  const auto silent_since = std::chrono::steady_clock::now();
  while (loop.running() && std::chrono::steady_clock::now() < silent_since + 5s)
    std::this_thread::sleep_for(5ms);
  const auto took = std::chrono::steady_clock::now() - silent_since;
  EXPECT_FALSE(loop.running());
  EXPECT_EQ(loop.stats().stop_reason, StopReason::device_lost);
  // lost_after_s is 0.25 s; the margin is for a loaded machine.
  EXPECT_LT(took, 1500ms);
  // The zero went out as the loop stopped; the stand-in's thread may be held up reading it.
  EXPECT_EQ(device.wait_for({0, 0, 0}, 2000ms), (std::array<float, 3>{0, 0, 0}))
      << "a lost device is not left holding the last force";
  const int sent = device.forces();
  loop.stop();
  EXPECT_EQ(device.forces(), sent) << "nothing more after the loss";
}

// The forces a loop commands from its first cycle on, given one ConstantForce, as they would be
// had the first reply come in time: the cycles before the first reply send zero, and a slow
// machine (emulation) may make more of them than expected starts with.
std::vector<float> forces_along_x(CorvaneStandIn& device, ServoLoop& loop,
                                  const std::vector<float>& expected) {
  // Under emulation a reply that misses its cycle is dropped, not taken a cycle late, so the
  // first replies of a cold emulator may all be missed.
  constexpr int late_cycles_allowed = 16;
  const int wanted = static_cast<int>(expected.size()) + late_cycles_allowed;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (device.forces() < wanted && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  loop.stop();
  std::vector<float> along_x;
  for (const auto& force : device.all_forces()) along_x.push_back(force[0]);
  const auto leading_zeros = [](const std::vector<float>& forces) {
    return std::find_if(forces.begin(), forces.end(), [](float f) { return f != 0; }) -
           forces.begin();
  };
  const std::ptrdiff_t late = leading_zeros(along_x) - leading_zeros(expected);
  const std::ptrdiff_t extra = std::clamp<std::ptrdiff_t>(late, 0, late_cycles_allowed);
  along_x.erase(along_x.begin(), along_x.begin() + extra);
  along_x.resize(std::min(along_x.size(), expected.size()));
  return along_x;
}

struct ShapingCase {
  const char* name;
  double ramp_s, max_force_step, max_speed;
  float speed;
  std::vector<float> expected;  // fx from the first cycle on, for a ConstantForce of 2 N
};

class ForceShapingTest : public ServoLoopTest, public testing::WithParamInterface<ShapingCase> {};

TEST_P(ForceShapingTest, TheWireCarriesTheShapedForceCycleByCycle) {
  const ShapingCase& shaping = GetParam();
  CorvaneStandIn device(pty, {0, 0, 0, shaping.speed, 0, 0});
  ServoSettings settings = without_watchdog();
  settings.rate_hz = 200;  // slow enough that a loaded machine misses no deadline
  settings.ramp_s = shaping.ramp_s;
  if (shaping.max_force_step > 0) settings.max_force_step = shaping.max_force_step;
  if (shaping.max_speed > 0) settings.max_speed = shaping.max_speed;
  ServoLoop loop(&stream, settings);
  loop.add(std::make_shared<ConstantForce>(Vector3d{2, 0, 0}));
  ASSERT_EQ(loop.start(), StartResult::started);
  // The first cycle has no reply yet and sends zero.
  EXPECT_EQ(forces_along_x(device, loop, shaping.expected), shaping.expected);
  EXPECT_EQ(loop.stats().speed_limited > 0, shaping.max_speed > 0 && shaping.speed > shaping.max_speed);
}

INSTANTIATE_TEST_SUITE_P(
    Pipeline, ForceShapingTest,
    testing::Values(
        // 0.02 s at 200 Hz: 4 cycles of ramp, factor cycle/4.
        ShapingCase{"ramp", 0.02, 0, 0, 0, {0, 0.5f, 1, 1.5f, 2, 2, 2}},
        ShapingCase{"no_ramp", 0, 0, 0, 0, {0, 2, 2, 2}},
        ShapingCase{"step_limit", 0, 0.75, 0, 0, {0, 0.75f, 1.5f, 2, 2}},
        ShapingCase{"ramp_under_step_limit", 0.02, 0.25, 0, 0,
                    {0, 0.25f, 0.5f, 0.75f, 1, 1.25f, 1.5f, 1.75f, 2, 2}},
        ShapingCase{"speed_limit", 0, 0, 0.25, 0.3f, {0, 0, 0, 0}},
        ShapingCase{"under_the_speed_limit", 0, 0, 0.25, 0.2f, {0, 2, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServoLoopTest, AWatchdogTripLetsGoAtOnceAndTheForceRampsBackWhenFed) {
  CorvaneStandIn device(pty, {});
  ServoSettings settings;
  settings.rate_hz = 200;
  settings.ramp_s = 0.02;  // 4 cycles
  settings.watchdog_s = 0.05;
  ServoLoop loop(&stream, settings);
  loop.set_force({2, 0, 0});
  ASSERT_EQ(loop.start(), StartResult::started);
  // Each force stands for a few cycles only: the wire's log, not the last force, is watched.
  // Fed until the ramp has reached the full force: a loop whose first replies come late (a
  // loaded machine, user-mode emulation) would starve before its ramp ends.
  std::optional<std::size_t> full;
  for (int tries = 0; tries < 250 && !full; ++tries) {
    loop.feed();
    full = device.wait_for_sent({2, 0, 0}, 0, 20ms);
  }
  ASSERT_TRUE(full);
  ASSERT_TRUE(device.wait_for_sent({0, 0, 0}, *full));  // starved
  const std::size_t before = device.all_forces().size();
  loop.feed();
  ASSERT_TRUE(device.wait_for_sent({2, 0, 0}, before));
  loop.stop();
  std::vector<float> after;
  const auto forces = device.all_forces();
  for (std::size_t i = before; i < forces.size() && after.size() < 4; ++i)
    if (forces[i][0] != 0 || !after.empty()) after.push_back(forces[i][0]);
  EXPECT_EQ(after, (std::vector<float>{0.5f, 1, 1.5f, 2}));
  EXPECT_GE(loop.stats().watchdog_trips, 1u);
}

TEST_F(ServoLoopTest, ARepliesOutOfStepOrImpossibleAreCountedAndTheLastGoodStateHolds) {
  CorvaneStandIn device(pty, {0.01f, 0, 0, 0, 0, 0});
  ServoSettings settings = without_watchdog();
  settings.ramp_s = 0;
  ServoLoop loop(&stream, settings);
  loop.add(std::make_shared<Spring>(Vector3d{0, 0, 0}, 100.0));
  ASSERT_EQ(loop.start(), StartResult::started);
  ASSERT_EQ(device.wait_for({-1, 0, 0}), (std::array<float, 3>{-1, 0, 0}));
  device.garble_next();
  device.set_state({1e6f, 0, 0, 0, 0, 0});  // no arm is a kilometre away
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(device.last_force(), (std::array<float, 3>{-1, 0, 0}));
  device.set_state({0.02f, 0, 0, 0, 0, 0});
  EXPECT_EQ(device.wait_for({-2, 0, 0}), (std::array<float, 3>{-2, 0, 0}));
  EXPECT_TRUE(loop.running());
  const ServoStats stats = loop.stats();
  EXPECT_GE(stats.bad_replies, 20u);
  EXPECT_EQ(stats.clamped, 0u) << "no impossible state became a force at the clamp";
}

// A device that answers one command late, once (the reply to command 30 comes just before that
// to command 31): from then on each force is computed from the reply to the command before it,
// or the cycle is counted, never a reply behind for good.
TEST_F(ServoLoopTest, AfterALateReplyEachForceIsFromThePreviousCommandsReplyOrCounted) {
  constexpr float step_m = 1e-6f;
  constexpr double stiffness = 1000.0;  // a force of -1 mN for each step: the reply's number
  constexpr int late = 30, checked = 150;
  CorvaneStandIn device(pty, {});
  device.number_replies(step_m);
  device.hold_reply_to(late);
  ServoSettings settings = without_watchdog();
  settings.ramp_s = 0;
  ServoLoop loop(&stream, settings);
  loop.add(std::make_shared<Spring>(Vector3d{0, 0, 0}, stiffness));
  ASSERT_EQ(loop.start(), StartResult::started);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (device.forces() < late + 1 + checked && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  loop.stop();
  const std::vector<std::array<float, 3>> forces = device.all_forces();
  ASSERT_GE(forces.size(), static_cast<std::size_t>(late + 1 + checked));
  // The reply a command's force was computed from; command n is forces[n - 1].
  const auto source = [&](int command) {
    return static_cast<int>(std::lround(-forces[command - 1][0] / (stiffness * step_m)));
  };
  int behind = 0;
  for (int command = late + 2; command <= late + 1 + checked; ++command) {
    EXPECT_LE(source(command), command - 1);
    behind += source(command) != command - 1;
  }
  const ServoStats stats = loop.stats();
  EXPECT_LE(behind, static_cast<int>(stats.missed + stats.bad_replies))
      << behind << " of " << checked << " forces from an older reply; missed " << stats.missed
      << ", bad replies " << stats.bad_replies;
}

TEST_F(ServoLoopTest, ARestartCountsFromZero) {
  CorvaneStandIn device(pty, {});
  ServoLoop loop(&stream, without_watchdog());
  ASSERT_EQ(loop.start(), StartResult::started);
  std::this_thread::sleep_for(200ms);
  loop.stop();
  ASSERT_GT(loop.stats().cycles, 50u);
  ASSERT_EQ(loop.start(), StartResult::started);
  // Some cycles in: a rate taken over the first fraction of a millisecond says nothing.
  std::this_thread::sleep_for(50ms);
  const ServoStats fresh = loop.stats();
  const std::optional<ServoState> state = loop.state();
  EXPECT_LT(fresh.cycles, 150u);
  EXPECT_LT(fresh.rate_hz, 2000.0);
  if (state) {
    EXPECT_LT(state->cycle, 150u);
  }
  loop.stop();
}

TEST_F(ServoLoopTest, StartAndStopFromTwoThreadsAtOnceNeitherCrashNorHang) {
  CorvaneStandIn device(pty, {});
  ServoLoop loop(&stream, without_watchdog());
  std::thread stopper([&] {
    test_thread = true;
    for (int i = 0; i < 100; ++i) loop.stop();
  });
  for (int i = 0; i < 100; ++i) loop.start();
  stopper.join();
  loop.stop();
  EXPECT_FALSE(loop.running());
  EXPECT_EQ(device.last_force(), (std::array<float, 3>{0, 0, 0}));
}

TEST(ServoLoopStart, APortThatDidNotOpenSaysSo) {
  test_thread = true;
  SerialStream stream("/dev/no-such-port-here", true);
  ServoLoop loop(&stream, {});
  EXPECT_EQ(loop.start(), StartResult::not_open);
  EXPECT_EQ(stream.open_error(), ENOENT);
  EXPECT_FALSE(loop.running());
}

TEST(ServoSettingsTest, RefuseWhatWouldPutInfinityOnTheWireOrStallStop) {
  ServoSettings settings;
  settings.max_force = 1e300;
  EXPECT_STREQ(settings.problem(), "max_force must be positive and finite as a float32");
  settings.max_force = 10;
  settings.rate_hz = 0.05;
  EXPECT_STREQ(settings.problem(), "rate_hz must be in [1, 10000]");
  settings.rate_hz = 1;
  EXPECT_EQ(settings.problem(), nullptr);
}

TEST_F(ServoLoopTest, StopIsPromptAtTheSlowestRate) {
  CorvaneStandIn device(pty, {});
  ServoSettings settings = without_watchdog();
  settings.rate_hz = 1;
  ServoLoop loop(&stream, settings);
  ASSERT_EQ(loop.start(), StartResult::started);
  device.wait_for({0, 0, 0});
  std::this_thread::sleep_for(50ms);
  const auto asked = std::chrono::steady_clock::now();
  loop.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms);
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
  EXPECT_GE(loop.stats().watchdog_trips, 1u);
  // Copied once the loop stopped: a running loop's pushes may take the oldest rows while the
  // copy is made (several, under emulation).
  loop.stop();
  std::vector<TraceRow> rows(loop.trace_capacity());
  EXPECT_EQ(loop.copy_trace(rows.data()), 64u);
}

}  // namespace

namespace {

// Pushes 6 N along x; once told to, its law never returns until let go, as a law that blocks or
// spins would.
class Stuck : public Effect {
 public:
  Vector3d render(const EffectContext&, const Parameters&) noexcept override {
    if (hang.load()) {
      stuck = true;
      while (!let_go.load()) std::this_thread::sleep_for(1ms);
    }
    return {6, 0, 0};
  }
  std::atomic<bool> hang{false}, let_go{false}, stuck{false};
};

double seconds_since(std::chrono::steady_clock::time_point then) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - then).count();
}

// watchdog_s 0.05: the supervisor takes the arm; 0: stop() does, after its grace time.
class HungEffect : public ServoLoopTest, public testing::WithParamInterface<double> {};

TEST_P(HungEffect, ZeroGoesOnTheWireTheStuckForceNeverDoesAndStopReturns) {
  const double watchdog_s = GetParam();
  CorvaneStandIn device(pty, {});
  ServoSettings settings;
  settings.watchdog_s = watchdog_s;
  settings.ramp_s = 0;
  auto stuck = std::make_shared<Stuck>();
  {
    ServoLoop loop(&stream, settings);
    ASSERT_EQ(loop.add(stuck), AddResult::added);
    ASSERT_EQ(loop.start(), StartResult::started);
    for (int i = 0; i < 2000 && !device.wait_for_sent({6, 0, 0}, 0, 0ms); ++i) loop.feed();
    ASSERT_TRUE(device.wait_for_sent({6, 0, 0}, 0, 0ms));
    stuck->hang = true;
    for (int i = 0; i < 2000 && !stuck->stuck; ++i) {
      loop.feed();
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(stuck->stuck);
    const auto hung_at = std::chrono::steady_clock::now();
    if (watchdog_s > 0) {
      // Fed all along: only the supervisor can command the zero.
      while ((device.last_force()[0] != 0 || loop.running()) && seconds_since(hung_at) < 5) {
        loop.feed();
        std::this_thread::sleep_for(1ms);
      }
      EXPECT_LT(seconds_since(hung_at), watchdog_s + 0.5);
      EXPECT_FALSE(loop.running());
    }
    const auto stopping = std::chrono::steady_clock::now();
    loop.stop();
    EXPECT_LT(seconds_since(stopping), 1.0);
    EXPECT_EQ(device.wait_for({0, 0, 0}), (std::array<float, 3>{0, 0, 0}));
    EXPECT_EQ(loop.stats().stop_reason, StopReason::effect_hung);
    EXPECT_EQ(loop.fault(), StopReason::effect_hung);
    EXPECT_EQ(loop.start(), StartResult::effect_hung);
    EXPECT_FALSE(loop.remove(stuck.get()));  // the stuck cycle may still read it
    // The stream stays with the stuck loop.
    EXPECT_EQ(ServoLoop(&stream, settings).start(), StartResult::stream_claimed);
  }
  // The loop object is gone; its thread is still stuck, and holds what it reads, but the stream
  // is the application's again.
  {
    ServoLoop next(&stream, settings);
    EXPECT_EQ(next.start(), StartResult::started);
    next.stop();
  }
  const int sent = device.forces();
  stuck->let_go = true;
  for (int i = 0; i < 2000 && stuck.use_count() > 1; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(stuck.use_count(), 1) << "the stuck thread let go of its state";
  std::this_thread::sleep_for(20ms);
  // The next loop's commands (all zero: it renders nothing) may still be reaching the stand-in
  // when the count is taken; none after it is the stuck cycle's 6 N.
  const std::vector<std::array<float, 3>> forces = device.all_forces();
  for (std::size_t i = static_cast<std::size_t>(sent); i < forces.size(); ++i)
    EXPECT_EQ(forces[i], (std::array<float, 3>{0, 0, 0})) << "the stuck cycle's force went out";
  EXPECT_EQ(device.last_force(), (std::array<float, 3>{0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(TakenBy, HungEffect, testing::Values(0.05, 0.0),
                         [](const auto& info) {
                           return std::string(info.param > 0 ? "supervisor" : "stop");
                         });

TEST_F(ServoLoopTest, AWakeUpReplyCutShortIsTriedAgainWithinTheSecond) {
  CorvaneStandIn device(pty, {});
  device.cut_next_wakeup();
  ServoLoop loop(&stream, without_watchdog());
  const auto starting = std::chrono::steady_clock::now();
  EXPECT_EQ(loop.start(), StartResult::started);
  EXPECT_LT(seconds_since(starting), 1.0);
  EXPECT_EQ(loop.info().device_id, 300);
}

}  // namespace
