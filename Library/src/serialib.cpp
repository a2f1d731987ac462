#include "IO/serialib.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

namespace Orvex::HardwareAPI::IO {

namespace {

constexpr long read_limit_ms = 1000;
constexpr useconds_t poll_pause_us = 100;

// Milliseconds from t0 to t, truncated; negative when the wall clock was set back.
long elapsed_ms(const timeval& t0, const timeval& t) {
  long seconds = static_cast<long>(t.tv_sec - t0.tv_sec);
  long micros = static_cast<long>(t.tv_usec - t0.tv_usec);
  if (micros < 0) {
    micros += 1000000;
    seconds -= 1;
  }
  return seconds * 1000 + micros / 1000;
}

}  // namespace

serialib::~serialib() {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

std::int32_t serialib::read_timed(char* buf, std::uint32_t n) {
  timeval t0{};
  ::gettimeofday(&t0, nullptr);
  std::uint32_t count = 0;
  for (;;) {
    timeval t{};
    ::gettimeofday(&t, nullptr);
    const long elapsed = elapsed_ms(t0, t);
    if (elapsed < 0 || elapsed >= read_limit_ms) return static_cast<std::int32_t>(count);
    const ssize_t r = ::read(fd, buf + count, n - count);
    if (r == -1) return -2;
    if (r > 0) {
      count += static_cast<std::uint32_t>(r);
      if (count >= n) return static_cast<std::int32_t>(count);
    }
    ::usleep(poll_pause_us);
  }
}

std::basic_streambuf<char>* serialib::setbuf(char*, std::streamsize) {
  return this;
}

std::streamsize serialib::showmanyc() {
  if (fd == -1) return 0;
  if (has_lookahead) return 1;
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) return -1;
  std::streamsize answer = 0;
  if (read_timed(&lookahead, 1) == 1) {
    has_lookahead = true;
    answer = 1;
  }
  if (::fcntl(fd, F_SETFL, flags) == -1) return -1;
  return answer;
}

std::streamsize serialib::xsgetn(char* s, std::streamsize n) {
  if (n <= 0 || fd == -1) return 0;
  if (!has_lookahead) return read_timed(s, static_cast<std::uint32_t>(n));
  s[0] = lookahead;
  has_lookahead = false;
  if (n == 1) return 1;
  return 1 + static_cast<std::streamsize>(read_timed(s + 1, static_cast<std::uint32_t>(n - 1)));
}

serialib::int_type serialib::underflow() {
  if (fd == -1) return traits_type::eof();
  if (has_lookahead) return traits_type::to_int_type(lookahead);
  char byte = 0;
  if (read_timed(&byte, 1) != 1) return traits_type::eof();
  lookahead = byte;
  has_lookahead = true;
  return traits_type::to_int_type(byte);
}

serialib::int_type serialib::uflow() {
  const int_type c = underflow();
  has_lookahead = false;
  return c;
}

serialib::int_type serialib::pbackfail(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof()) || has_lookahead) return traits_type::eof();
  lookahead = traits_type::to_char_type(c);
  has_lookahead = true;
  return c;
}

std::streamsize serialib::xsputn(const char* s, std::streamsize n) {
  if (n <= 0 || fd == -1) return 0;
  const ssize_t written = ::write(fd, s, static_cast<std::uint32_t>(n));
  return written == n ? n : -1;
}

serialib::int_type serialib::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof()) || fd == -1) return traits_type::eof();
  const char byte = traits_type::to_char_type(c);
  // A byte that did not go out must not be reported as written.
  if (::write(fd, &byte, 1) != 1) return traits_type::eof();
  return c;
}

}  // namespace Orvex::HardwareAPI::IO
