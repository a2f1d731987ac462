#include "CorvaneLink.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "Device/CorvaneWire.h"
#include "Device/LittleEndian.h"
#include "../MonotonicClock.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

namespace wire = Devices::CorvaneWire;
namespace le = Devices::LittleEndian;

enum class Readiness { ready, timed_out, hung_up };

// Waits until the port can be read (or written) or the deadline passes. A hang-up with bytes
// still pending counts as ready: what came before is read first.
Readiness wait_for(int port, short events, std::int64_t deadline_ns) {
  for (;;) {
    const std::int64_t left = deadline_ns - monotonic_ns();
    if (left <= 0) return Readiness::timed_out;
    timespec timeout{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    pollfd watched{port, events, 0};
    const int ready = ::ppoll(&watched, 1, &timeout, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Readiness::hung_up;
    if (ready == 0) continue;  // the deadline check above decides
    if (watched.revents & (POLLERR | POLLNVAL)) return Readiness::hung_up;
    if (watched.revents & events) return Readiness::ready;
    if (watched.revents & POLLHUP) {
      int pending = 0;
      if (::ioctl(port, FIONREAD, &pending) == 0 && pending > 0) return Readiness::ready;
      return Readiness::hung_up;
    }
  }
}

}  // namespace

namespace {

int pending_bytes(int port) {
  int pending = 0;
  return ::ioctl(port, FIONREAD, &pending) == 0 ? pending : 0;
}

}  // namespace

void CorvaneLink::drop_pending() noexcept { ::tcflush(port, TCIFLUSH); }

bool CorvaneLink::write_command(std::size_t count, std::int64_t deadline_ns) noexcept {
  // Whatever waits now came before the device had this command: it answers an earlier one,
  // and taken for this one's reply it would keep every later cycle a reply behind.
  const bool waiting = pending_bytes(port) > 0;
  if (waiting) drop_pending();
  stale_reply = waiting && took_reply;
  took_reply = false;
  return write_all(count, deadline_ns);
}

bool CorvaneLink::write_all(std::size_t count, std::int64_t deadline_ns) noexcept {
  std::size_t written = 0;
  while (written < count) {
    const ssize_t n = ::write(port, outgoing.data() + written, count - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (wait_for(port, POLLOUT, deadline_ns) != Readiness::ready) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool CorvaneLink::send_force(const Devices::Vector3& force, std::int64_t deadline_ns) noexcept {
  outgoing[0] = wire::force_code;
  le::put_f32s(&outgoing[1], force);
  return write_command(1 + wire::vector_body_size, deadline_ns);
}

CorvaneLink::Reply CorvaneLink::read_message(std::uint8_t code, std::size_t body_size,
                                             std::int64_t deadline_ns) noexcept {
  const std::size_t wanted = 1 + body_size;
  for (;;) {
    std::size_t got = 0;
    while (got < wanted) {
      switch (wait_for(port, POLLIN, deadline_ns)) {
        case Readiness::hung_up: return Reply::hung_up;
        case Readiness::timed_out:
          if (got == 0) return Reply::none;
          // Cut short, or late: either way no answer to this command, and its rest is no
          // start of the next reply.
          drop_pending();
          return Reply::bad;
        case Readiness::ready: break;
      }
      // Never more than the message: what follows belongs to the next one.
      const ssize_t n = ::read(port, incoming.data() + got, wanted - got);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) return Reply::hung_up;
      if (got == 0 && incoming[0] != code) {
        // Out of step: the rest of this message, and anything after it, is no reply to read.
        drop_pending();
        return Reply::bad;
      }
      got += static_cast<std::size_t>(n);
    }
    // The message has no checksum, so a reply cut short is completed by the start of the next
    // one without a trace in its bytes. Bytes that follow it give that away, or show a newer
    // reply arriving (the one read came late): either way the next whole message is read
    // instead, or the cycle goes without.
    if (pending_bytes(port) == 0) return Reply::good;
  }
}

CorvaneLink::Reply CorvaneLink::receive_state(std::int64_t deadline_ns,
                                              Devices::Vector3& position,
                                              Devices::Vector3& velocity) noexcept {
  const Reply reply = read_message(wire::end_effector_state_code, wire::state_body_size,
                                   deadline_ns);
  if (reply == Reply::good) {
    le::get_f32s(&incoming[1], position);
    le::get_f32s(&incoming[1 + wire::vector_body_size], velocity);
  }
  took_reply = reply == Reply::good;
  return reply;
}

CorvaneLink::Reply CorvaneLink::wakeup(std::int64_t deadline_ns,
                                       Devices::DeviceInfo& info) noexcept {
  // A reply to an earlier command may come first, and is dropped with what follows it: the
  // wake-up is then sent again.
  Reply reply = Reply::bad;
  while (reply == Reply::bad && monotonic_ns() < deadline_ns) {
    outgoing[0] = wire::wakeup_code;
    if (!write_command(1, deadline_ns)) return Reply::hung_up;
    reply = read_message(wire::device_info_code, wire::device_info_body_size, deadline_ns);
  }
  if (reply == Reply::good) wire::decode_device_info(&incoming[1], info);
  return reply;
}

}  // namespace Orvex::HardwareAPI::Haptics
