#pragma once

// Native threads must not outlive the interpreter: a servo loop still running when Python exits
// commands zero force before the process ends, and a listener's thread is joined. Objects that
// start a thread register here and leave when they stop or are collected.

namespace Orvex::HardwareAPI::Python {

using StopFunction = void (*)(void* owner);

void stop_at_exit(void* owner, StopFunction stop);
void forget_at_exit(void* owner);

// Stops every registered owner, oldest first, without the interpreter lock. The module registers
// it with atexit.
void stop_all_at_exit();

}  // namespace Orvex::HardwareAPI::Python
