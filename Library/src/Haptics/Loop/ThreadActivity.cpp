#include "ThreadActivity.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace Orvex::HardwareAPI::Haptics {

namespace {

// Long enough to tell a thread that runs from one that does not, short beside any hang limit.
constexpr long look_ns = 10'000'000;
// A thread that ran for a tenth of the look was running, not held off.
constexpr std::int64_t ran_at_least_ns = look_ns / 10;

std::int64_t processor_ns(clockid_t clock) {
  timespec now{};
  if (clock_gettime(clock, &now) != 0) return -1;
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The thread's scheduling state letter from /proc ('R' ready or running, 'S' sleeping, ...),
// or 0 when it cannot be read.
char state_of(pid_t thread) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%ld/stat", static_cast<long>(thread));
  const int file = ::open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return 0;
  char text[512];
  const ssize_t got = ::read(file, text, sizeof text - 1);
  ::close(file);
  if (got <= 0) return 0;
  text[got] = '\0';
  // The name in parentheses may hold anything; the state follows the last ')'.
  const char* end_of_name = std::strrchr(text, ')');
  return end_of_name && end_of_name[1] == ' ' ? end_of_name[2] : 0;
}

}  // namespace

void ThreadActivity::identify_from_watched_thread() noexcept {
  id.store(static_cast<pid_t>(::syscall(SYS_gettid)), std::memory_order_relaxed);
}

bool ThreadActivity::held_off_processor(pthread_t watched) const noexcept {
  clockid_t clock;
  if (pthread_getcpuclockid(watched, &clock) != 0) return false;
  const std::int64_t before = processor_ns(clock);
  const timespec look{0, look_ns};
  nanosleep(&look, nullptr);
  const std::int64_t after = processor_ns(clock);
  if (before < 0 || after < 0 || after - before >= ran_at_least_ns) return false;
  return state_of(id.load(std::memory_order_relaxed)) == 'R';
}

}  // namespace Orvex::HardwareAPI::Haptics
