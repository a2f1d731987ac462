#include "OwnerWatch.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "Haptics/Safety/GuardianDescriptors.h"

namespace Orvex::HardwareAPI::Guardian {

namespace {

// A descriptor that becomes readable when the process ends, or -1 where the system has none.
int process_descriptor(pid_t owner) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, owner, 0));
#else
  (void)owner;
  return -1;
#endif
}

// The byte waiting on the socket, if any: the stand-down, or the end of the stream.
OwnerNews read_news(int watch) {
  char byte = 0;
  ssize_t got;
  do {
    got = ::read(watch, &byte, 1);
  } while (got < 0 && errno == EINTR);
  return got == 1 && byte == Haptics::GuardianDescriptors::stand_down ? OwnerNews::stood_down
                                                                      : OwnerNews::ended;
}

}  // namespace

OwnerNews watch_owner(int watch, pid_t owner) {
  const int process = process_descriptor(owner);
  // The owner may have ended before the process descriptor was taken: the guardian is then no
  // longer its child.
  if (::getppid() != owner) {
    pollfd socket{watch, POLLIN, 0};
    if (::poll(&socket, 1, 0) == 1 && (socket.revents & POLLIN)) return read_news(watch);
    return OwnerNews::ended;
  }
  pollfd watched[2] = {{watch, POLLIN, 0}, {process, POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(watched, process >= 0 ? 2 : 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return OwnerNews::ended;
    // A stand-down sent just before the end is taken as one: the program stopped its loop.
    if (watched[0].revents) return read_news(watch);
    if (watched[1].revents) return OwnerNews::ended;
  }
}

}  // namespace Orvex::HardwareAPI::Guardian
