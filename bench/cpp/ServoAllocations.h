#pragma once

// The servo loop's heap allocations, counted on its own thread: a loop renders every kind of
// effect and a user's law by each route on the stand-in Corvane at 1 kHz, with its trace on,
// while the main thread only sleeps and reads the loop's counters.

namespace Orvex::Bench {

// Runs the loop for about `seconds` after a short settling time and prints one line of JSON: the
// cycles and the loop thread's allocations over the steady run, and over the whole run from
// start() to stop().
void print_servo_allocations(const char* corvane_port, double seconds);

}  // namespace Orvex::Bench
