#include "FuzzLine.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Devices/Device.h"

namespace Orvex::Fuzzing {

namespace {

// Far above any real descriptor, so nothing else in the process can be mistaken for the line.
constexpr int line_fd = 1 << 20;

// Once the input is used up the clock runs fast: a waiting read ends after two polls.
constexpr long long silent_step_us = 600'000;

}  // namespace

FuzzLine::FuzzLine(std::uint8_t settings, const std::uint8_t* bytes, std::size_t size)
    : bytes(bytes),
      length(size),
      chunk(std::size_t{1} << (settings & 0x7)),
      stalls(settings & 0x8),
      ends_in_error(settings & 0x10),
      hooks({
          .read = [this](int fd, void* buf, std::size_t n) { return read(fd, buf, n); },
          .write = [](int fd, const void*, std::size_t n) -> std::optional<ssize_t> {
            if (fd != line_fd) return std::nullopt;
            // A device never sends more than its buffer holds.
            if (n > HardwareAPI::Devices::Device::buffer_size) std::abort();
            return static_cast<ssize_t>(n);
          },
          .open = [](const char* p, int) -> std::optional<int> {
            if (std::strcmp(p, path) != 0) return std::nullopt;
            return line_fd;
          },
          .close = [](int fd) -> std::optional<int> {
            if (fd != line_fd) return std::nullopt;
            return 0;
          },
          .fcntl = [](int fd, int cmd, long) -> std::optional<int> {
            if (fd != line_fd) return std::nullopt;
            return cmd == F_GETFL ? O_RDWR | O_NONBLOCK : 0;
          },
          .ioctl = [](int fd, unsigned long, void*) -> std::optional<int> {
            if (fd != line_fd) return std::nullopt;
            return 0;
          },
          // The line answers as a terminal would; the settings read are never used.
          .tcgetattr = [](int fd, termios*) -> std::optional<int> {
            if (fd != line_fd) return std::nullopt;
            return 0;
          },
          .gettimeofday = [this](timeval* tv) { return gettimeofday(tv); },
          .usleep = [](useconds_t) -> std::optional<int> { return 0; },
      }) {}

std::optional<ssize_t> FuzzLine::read(int fd, void* buf, std::size_t n) {
  if (fd != line_fd) return std::nullopt;
  if (served == length) {
    if (ends_in_error) {
      errno = EIO;
      return -1;
    }
    silent = true;
    return 0;
  }
  if (stalls && (stall_next = !stall_next)) return 0;
  const std::size_t given = std::min({n, chunk, length - served});
  std::memcpy(buf, bytes + served, given);
  served += given;
  return static_cast<ssize_t>(given);
}

std::optional<int> FuzzLine::gettimeofday(timeval* tv) {
  now_us += silent ? silent_step_us : 1;
  tv->tv_sec = static_cast<time_t>(now_us / 1'000'000);
  tv->tv_usec = static_cast<suseconds_t>(now_us % 1'000'000);
  return 0;
}

}  // namespace Orvex::Fuzzing
