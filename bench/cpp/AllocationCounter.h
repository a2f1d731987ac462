#pragma once

// Every heap allocation the bench process makes is counted: the global operator new is replaced,
// and malloc, calloc and realloc called from the program's own objects (the bench and the static
// library) are wrapped at link time.

#include <cstdint>

namespace Orvex::Bench {

std::uint64_t allocation_count();

// Makes one allocation of each kind the counter hooks and returns how many it counted: 4 when
// every hook works.
std::uint64_t counted_probe_allocations();

}  // namespace Orvex::Bench
