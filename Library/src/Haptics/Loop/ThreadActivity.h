#pragma once

// Whether a thread that has stayed in one place too long is stuck there or only held off the
// processor: on a loaded machine, or under user-mode emulation, a thread ready to run may wait
// tens of milliseconds for it. A thread that runs (its processor time grows) or sleeps is where
// it chose to be; one that is ready but gets no processor is not, yet. Read from another thread
// than the one watched; costs a short wait, so only for a thread already suspected.

#include <pthread.h>
#include <sys/types.h>

#include <atomic>

namespace Orvex::HardwareAPI::Haptics {

class ThreadActivity {
 public:
  // The watched thread, as it begins: who it is for the system's records.
  void identify_from_watched_thread() noexcept;
  // Another thread: true when the watched thread is ready to run but got (almost) no processor
  // time over a short look.
  bool held_off_processor(pthread_t watched) const noexcept;

 private:
  // Relaxed: written once by the watched thread before anything can suspect it.
  std::atomic<pid_t> id{0};
};

}  // namespace Orvex::HardwareAPI::Haptics
