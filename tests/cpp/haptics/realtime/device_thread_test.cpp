// The device thread: what every thread of the layer starts with (every signal blocked, the
// stack asked for, a nanosecond of timer slack, its name), the starter's own mask untouched, and
// many starts and joins in a row, some while signals arrive.

#include "DeviceThread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

namespace {

using Orvex::HardwareAPI::Haptics::DeviceThread;
using Orvex::HardwareAPI::Haptics::DeviceThreadOptions;

struct Seen {
  bool every_signal_blocked = false;
  std::size_t stack_size = 0;
  long timer_slack = 0;
  char name[16] = {};
};

TEST(DeviceThread, StartsWithEverySignalBlockedItsStackSlackAndName) {
  sigset_t before;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  Seen seen;
  DeviceThread thread;
  ASSERT_EQ(thread.start_from_owner({"orvex-test", 192 * 1024}, [&] {
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    seen.every_signal_blocked = sigismember(&mask, SIGINT) && sigismember(&mask, SIGTERM) &&
                                sigismember(&mask, SIGUSR1) && sigismember(&mask, SIGALRM);
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      pthread_attr_getstacksize(&attributes, &seen.stack_size);
      pthread_attr_destroy(&attributes);
    }
    seen.timer_slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    pthread_getname_np(pthread_self(), seen.name, sizeof seen.name);
  }), 0);
  EXPECT_TRUE(thread.started());
  thread.join_from_owner();
  EXPECT_FALSE(thread.started());
  EXPECT_TRUE(seen.every_signal_blocked);
  EXPECT_GE(seen.stack_size, 192u * 1024u);
  EXPECT_EQ(seen.timer_slack, 1);
  EXPECT_STREQ(seen.name, "orvex-test");
  // The starter's mask is as it was.
  sigset_t after;
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  for (const int signal : {SIGINT, SIGTERM, SIGUSR1, SIGALRM})
    EXPECT_EQ(sigismember(&after, signal), sigismember(&before, signal)) << signal;
}

TEST(DeviceThreadStress, ManyStartsJoinsAndDetachesWhileSignalsArriveRunEveryBodyOnce) {
  static std::atomic<int> handled{0};
  struct sigaction action{}, previous{};
  action.sa_handler = [](int) { handled.fetch_add(1); };
  sigaction(SIGUSR1, &action, &previous);
  std::atomic<bool> done{false};
  const pthread_t owner = pthread_self();
  // The signals go to the owner, the one thread that takes them: never to a device thread.
  std::thread sender([&] {
    while (!done.load()) {
      pthread_kill(owner, SIGUSR1);
      std::this_thread::yield();
    }
  });
  std::atomic<int> bodies{0};
  auto held = std::make_shared<int>(0);
  for (int i = 0; i < 300; ++i) {
    DeviceThread thread;
    ASSERT_EQ(thread.start_from_owner({}, [&bodies, held] { bodies.fetch_add(1); }), 0);
    if (i % 2) thread.detach_from_owner(); else thread.join_from_owner();
  }
  done.store(true);
  sender.join();
  // A detached thread lets go of what its body held as it ends.
  for (int wait = 0; wait < 5000 && held.use_count() > 1; ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_EQ(bodies.load(), 300);
  EXPECT_GT(handled.load(), 0);
  sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
