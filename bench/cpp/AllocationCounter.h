#pragma once

// Every heap allocation the bench process makes is counted: the global operator new is replaced,
// and malloc, calloc and realloc called from the program's own objects (the bench and the static
// library) are wrapped at link time.

#include <cstdint>

namespace Orvex::Bench {

std::uint64_t allocation_count();
// Those made by threads other than the program's main thread: a servo loop's, in the bench.
std::uint64_t allocation_count_off_main_thread();

// Makes one allocation of each kind the counter hooks and returns how many it counted: 4 when
// every hook works.
std::uint64_t counted_probe_allocations();
// The same probe on a thread of its own, counted off the main thread: 4 when that count works.
std::uint64_t counted_probe_allocations_off_main_thread();

}  // namespace Orvex::Bench
