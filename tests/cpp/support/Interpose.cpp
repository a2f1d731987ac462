#include "Interpose.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <array>
#include <atomic>
#include <cstdarg>
#include <mutex>

extern "C" {
ssize_t __real_read(int fd, void* buf, size_t n);
ssize_t __real_write(int fd, const void* buf, size_t n);
int __real_open(const char* path, int flags, ...);
int __real_close(int fd);
int __real_fcntl(int fd, int cmd, ...);
int __real_ioctl(int fd, unsigned long request, ...);
int __real_tcgetattr(int fd, termios* settings);
int __real_gettimeofday(timeval* tv, void* tz);
int __real_usleep(useconds_t us);
}

namespace Orvex::Testing {

namespace {

std::mutex hooks_mutex;
Hooks active_hooks;
std::atomic<bool> hooks_installed{false};
std::array<std::atomic<std::size_t>, static_cast<std::size_t>(SysCall::count)> call_counts{};

void count(SysCall call) {
  ++call_counts[static_cast<std::size_t>(call)];
}

// A copy of one hook, taken under the lock so that a probe thread never sees a half-set hook.
template <class Hook>
Hook hook(Hook Hooks::*member) {
  if (!hooks_installed.load()) return {};
  std::lock_guard<std::mutex> lock(hooks_mutex);
  return active_hooks.*member;
}

}  // namespace

ScopedHooks::ScopedHooks(Hooks hooks) {
  std::lock_guard<std::mutex> lock(hooks_mutex);
  active_hooks = std::move(hooks);
  hooks_installed = true;
}

ScopedHooks::~ScopedHooks() {
  std::lock_guard<std::mutex> lock(hooks_mutex);
  hooks_installed = false;
  active_hooks = Hooks{};
}

std::size_t calls(SysCall call) {
  return call_counts[static_cast<std::size_t>(call)].load();
}

void reset_calls() {
  for (auto& c : call_counts) c = 0;
}

namespace real {
ssize_t read(int fd, void* buf, std::size_t n) {
  return __real_read(fd, buf, n);
}
ssize_t write(int fd, const void* buf, std::size_t n) {
  return __real_write(fd, buf, n);
}
int close(int fd) {
  return __real_close(fd);
}
int gettimeofday(timeval* tv) {
  return __real_gettimeofday(tv, nullptr);
}
int usleep(useconds_t us) {
  return __real_usleep(us);
}
}  // namespace real

}  // namespace Orvex::Testing

using Orvex::Testing::count;
using Orvex::Testing::hook;
using Orvex::Testing::Hooks;
using Orvex::Testing::SysCall;

extern "C" {

ssize_t __wrap_read(int fd, void* buf, size_t n) {
  count(SysCall::read);
  if (auto h = hook(&Hooks::read))
    if (auto r = h(fd, buf, n)) return *r;
  return __real_read(fd, buf, n);
}

ssize_t __wrap_write(int fd, const void* buf, size_t n) {
  count(SysCall::write);
  if (auto h = hook(&Hooks::write))
    if (auto r = h(fd, buf, n)) return *r;
  return __real_write(fd, buf, n);
}

int __wrap_open(const char* path, int flags, ...) {
  count(SysCall::open);
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, unsigned));
    va_end(args);
  }
  if (auto h = hook(&Hooks::open))
    if (auto r = h(path, flags)) return *r;
  return __real_open(path, flags, mode);
}

int __wrap_close(int fd) {
  count(SysCall::close);
  if (auto h = hook(&Hooks::close))
    if (auto r = h(fd)) return *r;
  return __real_close(fd);
}

int __wrap_fcntl(int fd, int cmd, ...) {
  count(SysCall::fcntl);
  va_list args;
  va_start(args, cmd);
  const long arg = va_arg(args, long);
  va_end(args);
  if (auto h = hook(&Hooks::fcntl))
    if (auto r = h(fd, cmd, arg)) return *r;
  return __real_fcntl(fd, cmd, arg);
}

int __wrap_ioctl(int fd, unsigned long request, ...) {
  count(SysCall::ioctl);
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (auto h = hook(&Hooks::ioctl))
    if (auto r = h(fd, request, arg)) return *r;
  return __real_ioctl(fd, request, arg);
}

int __wrap_tcgetattr(int fd, termios* settings) {
  count(SysCall::tcgetattr);
  if (auto h = hook(&Hooks::tcgetattr))
    if (auto r = h(fd, settings)) return *r;
  return __real_tcgetattr(fd, settings);
}

int __wrap_gettimeofday(timeval* tv, void* tz) {
  count(SysCall::gettimeofday);
  if (auto h = hook(&Hooks::gettimeofday))
    if (auto r = h(tv)) return *r;
  return __real_gettimeofday(tv, tz);
}

int __wrap_usleep(useconds_t us) {
  count(SysCall::usleep);
  if (auto h = hook(&Hooks::usleep))
    if (auto r = h(us)) return *r;
  return __real_usleep(us);
}

}  // extern "C"
