#include "HandleFramer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Orvex::HardwareAPI::Haptics {

namespace wire = Devices::HandleWire;

HandleFramer::Read HandleFramer::read_from(int port, std::int64_t now_ns) noexcept {
  if (start > 0) {
    // What is taken makes room at the front.
    std::memmove(bytes.data(), bytes.data() + start, end - start);
    end -= start;
    if (awaiting) awaited_end -= start;
    start = 0;
  }
  for (;;) {
    const ssize_t n = ::read(port, bytes.data() + end, bytes.size() - end);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Read::some;
    if (n < 0) return Read::hung_up;
    // A message starts to arrive now when nothing was held before.
    if (n > 0 && end == 0) started_ns = now_ns;
    end += static_cast<std::size_t>(n);
    last_read_ns = now_ns;
    return Read::some;
  }
}

long HandleFramer::front_size() const noexcept {
  const std::size_t held = end - start;
  switch (bytes[start]) {
    case wire::info_code: return 1 + wire::info_body_size;
    case wire::error_code: return 1 + wire::error_body_size;
    case wire::status_code:
      if (held <= 1 + wire::status_data_length_at) return 0;
      return 1 + wire::status_fixed_body_size + bytes[start + 1 + wire::status_data_length_at];
    default: return -1;
  }
}

HandleFramer::Next HandleFramer::next(std::int64_t now_ns) noexcept {
  quiet_after = false;
  if (awaiting) {
    if (end == awaited_end && now_ns <= started_ns + message_wait_ns) return Next::wait;
    awaiting = false;
    quiet_after = end == awaited_end;
  }
  if (start == end) return Next::wait;
  const long size = front_size();
  if (size < 0) {
    ++start;
    // The next byte is where the next message may start.
    started_ns = last_read_ns;
    return Next::unknown;
  }
  if (size > 0 && end - start >= static_cast<std::size_t>(size)) {
    taken = start;
    taken_size = static_cast<std::size_t>(size);
    start += taken_size;
    taken_started_ns = started_ns;
    started_ns = last_read_ns;
    return Next::message;
  }
  if (now_ns - started_ns > message_wait_ns) {
    // Its length is unknowable; what came after it may well be the next message's start, but
    // nothing marks where that begins.
    start = end = 0;
    return Next::broken_off;
  }
  return Next::wait;
}

void HandleFramer::await_following() noexcept {
  start = taken;
  started_ns = taken_started_ns;
  awaited_end = end;
  awaiting = true;
}

void HandleFramer::clear() noexcept {
  start = end = taken = taken_size = 0;
  awaiting = quiet_after = false;
}

}  // namespace Orvex::HardwareAPI::Haptics
