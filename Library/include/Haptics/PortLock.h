#pragma once

#include <sys/types.h>

namespace Orvex::HardwareAPI::Haptics {

// One driver per device: a servo loop or a handle listener holds an exclusive advisory lock
// (flock) on its port while it runs, so that a second one on the same device, from another
// stream or another process, is refused instead of taking the arm over. A plain stream takes no
// lock. The lock belongs to the port's open file: a duplicate of the descriptor (the guardian's)
// keeps it held until that duplicate closes too, unless release() lets go of it first.
class PortLock {
 public:
  PortLock() = default;
  PortLock(PortLock&& other) noexcept;
  PortLock& operator=(PortLock&& other) noexcept;
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;
  ~PortLock();

  // The lock on the port the descriptor is open on, without waiting: an empty lock when another
  // open file of the device holds it already (errno then says why).
  static PortLock take(int descriptor);
  // The process that holds the lock on the device the descriptor is open on, as the system's
  // lock table tells it; 0 when unknown.
  static pid_t holder(int descriptor);

  explicit operator bool() const { return descriptor >= 0; }
  void release();

 private:
  explicit PortLock(int locked) : descriptor(locked) {}
  int descriptor = -1;
};

}  // namespace Orvex::HardwareAPI::Haptics
