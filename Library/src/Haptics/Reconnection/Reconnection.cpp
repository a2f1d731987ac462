#include "Reconnection.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "IO/PortSetup.h"
#include "../MonotonicClock.h"

namespace Orvex::HardwareAPI::Haptics {

void ReconnectRefusal::say(const char* format, ...) noexcept {
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, capacity, format, arguments);
  va_end(arguments);
}

Reconnection::Reconnection(double give_up_s)
    : give_up_ns(give_up_s > 0 && std::isfinite(give_up_s) ? std::llround(give_up_s * 1e9) : 0) {}

void Reconnection::restart_from_owner() noexcept {
  adopted.store(0, std::memory_order_relaxed);
  refused.store(ReconnectRefusal{});
}

void Reconnection::lost_from_owner(std::int64_t now_ns) noexcept { lost_at_ns = now_ns; }

void Reconnection::refuse(const ReconnectRefusal& refusal) noexcept { refused.store(refusal); }

Reconnection::Attempt Reconnection::attempt_from_owner(const std::string& path, int port,
                                                       DeviceIdentity& identity,
                                                       std::int64_t identify_ns) noexcept {
  const std::int64_t now = monotonic_ns();
  if (give_up_ns > 0 && now - lost_at_ns >= give_up_ns) return Attempt::gave_up;
  ReconnectRefusal refusal;
  // A device that only went quiet is still behind the port held, whose lock a reopened port
  // would be refused; a port that hung up says so at once.
  const bool held_asked = port >= 0 && identity.may_answer_on_held_port();
  if (held_asked && identity.identify(port, now + identify_ns, refusal)) {
    adopted.fetch_add(1, std::memory_order_relaxed);
    return Attempt::adopted;
  }
  const int reopened = IO::open_serial_port(path.c_str());
  if (reopened < 0) {
    refusal.say("nothing opens at %s: %s", path.c_str(), std::strerror(errno));
    refuse(refusal);
    return Attempt::waiting;
  }
  // The owner's lock on the port went with the old one; a driver that took the port meanwhile
  // keeps it. So does the owner's own lock on a port still held: what answered there is then
  // what the held port said.
  if (::flock(reopened, LOCK_EX | LOCK_NB) != 0) {
    ::close(reopened);
    if (!held_asked) refusal.say("another driver holds %s", path.c_str());
    refuse(refusal);
    return Attempt::waiting;
  }
  const bool same = identity.identify(reopened, now + identify_ns, refusal);
  // dup2 replaces the dead port behind the stream's descriptor in one step.
  const bool taken = same && ::dup2(reopened, port) == port;
  ::close(reopened);
  if (!taken) {
    if (same) refusal.say("%s could not take the stream's descriptor", path.c_str());
    refuse(refusal);
    return Attempt::waiting;
  }
  adopted.fetch_add(1, std::memory_order_relaxed);
  return Attempt::adopted;
}

std::string Reconnection::last_refusal() const { return refused.load().text; }

}  // namespace Orvex::HardwareAPI::Haptics
