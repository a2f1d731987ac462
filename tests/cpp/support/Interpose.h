#pragma once

// System-call interposition for what a pseudo-terminal cannot show: a failing read(), a short
// write(), a clock that steps back, an fcntl() or ioctl() that fails, a line that is no terminal
// or a made-up one that is, a call that is slow. The
// test binaries link with -wrap for each call below, so the library's calls come here first.
// A hook returns std::nullopt to let the real call through. Calls through real:: bypass hooks and
// counters; the harness's own I/O uses them.

#include <sys/time.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <functional>
#include <optional>

namespace Orvex::Testing {

enum class SysCall { read, write, open, close, fcntl, ioctl, tcgetattr, gettimeofday, usleep, count };

struct Hooks {
  std::function<std::optional<ssize_t>(int fd, void* buf, std::size_t n)> read{};
  std::function<std::optional<ssize_t>(int fd, const void* buf, std::size_t n)> write{};
  std::function<std::optional<int>(const char* path, int flags)> open{};
  std::function<std::optional<int>(int fd)> close{};
  std::function<std::optional<int>(int fd, int cmd, long arg)> fcntl{};
  std::function<std::optional<int>(int fd, unsigned long request, void* arg)> ioctl{};
  std::function<std::optional<int>(int fd, termios* settings)> tcgetattr{};
  std::function<std::optional<int>(timeval* tv)> gettimeofday{};
  std::function<std::optional<int>(useconds_t us)> usleep{};
};

// Installs hooks for its lifetime; only one set is active at a time.
class ScopedHooks {
 public:
  explicit ScopedHooks(Hooks hooks);
  ~ScopedHooks();
  ScopedHooks(const ScopedHooks&) = delete;
  ScopedHooks& operator=(const ScopedHooks&) = delete;
};

// Calls made through the wrappers since the last reset_calls(), on any descriptor.
std::size_t calls(SysCall call);
void reset_calls();

namespace real {
ssize_t read(int fd, void* buf, std::size_t n);
ssize_t write(int fd, const void* buf, std::size_t n);
int close(int fd);
int gettimeofday(timeval* tv);
int usleep(useconds_t us);
}  // namespace real

}  // namespace Orvex::Testing
