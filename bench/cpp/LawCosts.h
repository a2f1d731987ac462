#pragma once

// What a user's law costs the loop thread per cycle: the snap point rendered as an expression, as
// a NativeEffect, as a C++ effect, and its C function called directly, each timed call by call
// on a thread other than the main one (as the loop's), with the allocations made meanwhile; and
// beside them what the hung-effect supervisor costs the loop thread each cycle.

#include <cstddef>

namespace Orvex::Bench {

// Renders each form `cycles` times and prints one line of JSON: p50 and p99 of a call in
// microseconds per form (null for a form this build lacks), and the allocations counted.
void print_law_costs(std::size_t cycles);

}  // namespace Orvex::Bench
