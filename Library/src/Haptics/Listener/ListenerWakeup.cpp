#include "ListenerWakeup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace Orvex::HardwareAPI::Haptics {

ListenerWakeup::ListenerWakeup() : event_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ListenerWakeup::~ListenerWakeup() {
  if (event_fd >= 0) ::close(event_fd);
}

// A full counter or a missing descriptor leaves the thread signalled or on its timeout: either
// way it looks at its queue soon, so the results need no check.
void ListenerWakeup::signal() const {
  if (event_fd < 0) return;
  const std::uint64_t one = 1;
  const ssize_t written = ::write(event_fd, &one, sizeof one);
  static_cast<void>(written);
}

void ListenerWakeup::clear() const {
  if (event_fd < 0) return;
  std::uint64_t count;
  const ssize_t taken = ::read(event_fd, &count, sizeof count);
  static_cast<void>(taken);
}

}  // namespace Orvex::HardwareAPI::Haptics
