#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>

namespace Orvex::HardwareAPI::Haptics {

// How a thread of the haptics layer is made.
struct DeviceThreadOptions {
  const char* name = "orvex";  // as the system shows it; at most 15 characters
  // Set explicitly: musl's default is 128 KiB, and sanitizer builds need more.
  std::size_t stack_size = 256 * 1024;
  // The real-time FIFO class, in the middle of its priorities raised by `above` (a thread that
  // must preempt another one asks for more). Set at creation, so the starter knows at once
  // whether it was granted.
  bool realtime = false;
  int above = 0;
};

// A thread that owns a device (a loop, a listener) or serves one (a supervisor, a recording's
// writer). It starts with every signal blocked, so a signal meant for the application is never
// handled on its time, and with a timer slack of one nanosecond, so its sleeps end at their
// deadlines instead of being gathered with others'.
//
// Threads: every method from the owner's thread (one at a time: its owner serialises them).
class DeviceThread {
 public:
  DeviceThread() = default;
  ~DeviceThread();  // the thread must have been joined or detached
  DeviceThread(const DeviceThread&) = delete;
  DeviceThread& operator=(const DeviceThread&) = delete;

  // Runs body on a new thread: 0, or the error that kept the system from making it (nothing
  // runs then). A thread started before must have been joined or detached.
  int start_from_owner(const DeviceThreadOptions& options, std::function<void()> body);
  // Whether a thread was started and not yet joined or detached.
  bool started() const { return running; }
  void join_from_owner();
  // Lets go of a thread that may never return; it goes on holding what its body holds.
  void detach_from_owner();
  // For calls that need the system's name of the thread, while started().
  pthread_t handle() const { return thread; }

 private:
  static void* entry(void* body);

  pthread_t thread{};
  bool running = false;
};

}  // namespace Orvex::HardwareAPI::Haptics
