#pragma once

// Wakes a listener's thread out of its readiness wait when a command is queued or it is asked to
// stop, so neither waits for the wait's timeout.

namespace Orvex::HardwareAPI::Haptics {

class ListenerWakeup {
 public:
  ListenerWakeup();
  ~ListenerWakeup();
  ListenerWakeup(const ListenerWakeup&) = delete;
  ListenerWakeup& operator=(const ListenerWakeup&) = delete;

  // The descriptor to wait on, readable once signalled; -1 when none could be made, and then the
  // thread notices at its next timeout instead.
  int fd() const { return event_fd; }
  void signal() const;
  void clear() const;

 private:
  int event_fd;
};

}  // namespace Orvex::HardwareAPI::Haptics
