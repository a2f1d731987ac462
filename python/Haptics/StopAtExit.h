#pragma once

// Native threads must not outlive the interpreter: a servo loop still running when Python exits
// commands zero force before the process ends, and a listener's thread is joined. Objects that
// start a thread register here and leave when they stop or are collected.
//
// Threads: any Python thread, holding the interpreter lock (a start registers without it, under
// BeforeExit, while its caller keeps the owner alive). An owner leaves the list (in its
// destructor) before it lets go of the interpreter lock, so an owner on the list is alive
// whenever the lock is held.

#include <pybind11/pybind11.h>

namespace Orvex::HardwareAPI::Python {

using StopFunction = void (*)(void* owner);

// `self` is the Python object that owns `owner`; the exit hook holds a reference to it while it
// stops the owner, so no other thread can free it meanwhile.
void stop_at_exit(pybind11::handle self, void* owner, StopFunction stop);
void forget_at_exit(void* owner);

// Held by a start while it starts an owner's thread and registers it, and by a stop while it
// stops one: exit waits for those in progress (a started owner is then stopped with the rest),
// and once exit has begun a start is refused (false), so no thread runs past the exit hook.
// Held without the interpreter lock, which exit holds while it waits.
class BeforeExit {
 public:
  BeforeExit();
  ~BeforeExit();
  BeforeExit(const BeforeExit&) = delete;
  BeforeExit& operator=(const BeforeExit&) = delete;
  // false: exit has begun, nothing may start.
  explicit operator bool() const { return open; }

 private:
  bool open;
};

// What a start refused by exit raises.
extern const char* const exiting_refusal;

// Stops every registered owner, oldest first, without the interpreter lock, each kept alive
// until it has stopped. The module registers it with atexit.
void stop_all_at_exit();

}  // namespace Orvex::HardwareAPI::Python
