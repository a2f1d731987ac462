#pragma once

// One round of a contender: n exchanges in a row, each timed, with the process's CPU time and the
// heap allocations counted over the whole round.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "AllocationCounter.h"

namespace Orvex::Bench {

// Something that makes one exchange with the device; true when the reply is the expected one.
class Contender {
 public:
  virtual ~Contender() = default;
  virtual bool exchange(std::size_t i) = 0;
};

struct RoundResult {
  std::int64_t wall_ns = 0;
  std::int64_t cpu_ns = 0;
  std::uint64_t allocations = 0;
  std::size_t mismatches = 0;
  std::vector<std::int64_t> latencies_ns;
};

std::int64_t steady_ns();
std::int64_t process_cpu_ns();

RoundResult timed_round(Contender& contender, std::size_t n);

// The round as one line of JSON on standard output.
void print_round(const char* contender, const RoundResult& round);

}  // namespace Orvex::Bench
