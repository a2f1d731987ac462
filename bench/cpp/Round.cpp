#include "Round.h"

#include <time.h>

#include <cstdio>

namespace Orvex::Bench {

namespace {

std::int64_t clock_ns(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

std::int64_t steady_ns() {
  return clock_ns(CLOCK_MONOTONIC);
}

std::int64_t process_cpu_ns() {
  return clock_ns(CLOCK_PROCESS_CPUTIME_ID);
}

RoundResult timed_round(Contender& contender, std::size_t n) {
  RoundResult round;
  round.latencies_ns.resize(n);
  const std::uint64_t allocations_before = allocation_count();
  const std::int64_t cpu_before = process_cpu_ns();
  const std::int64_t wall_before = steady_ns();
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t start = steady_ns();
    const bool matched = contender.exchange(i);
    round.latencies_ns[i] = steady_ns() - start;
    if (!matched) ++round.mismatches;
  }
  round.wall_ns = steady_ns() - wall_before;
  round.cpu_ns = process_cpu_ns() - cpu_before;
  round.allocations = allocation_count() - allocations_before;
  return round;
}

void print_round(const char* contender, const RoundResult& round) {
  std::printf(
      "{\"contender\": \"%s\", \"exchanges\": %zu, \"wall_ns\": %lld, \"cpu_ns\": %lld, "
      "\"allocations\": %llu, \"mismatches\": %zu, \"latencies_ns\": [",
      contender, round.latencies_ns.size(), static_cast<long long>(round.wall_ns),
      static_cast<long long>(round.cpu_ns), static_cast<unsigned long long>(round.allocations),
      round.mismatches);
  const char* separator = "";
  for (const std::int64_t latency : round.latencies_ns) {
    std::printf("%s%lld", separator, static_cast<long long>(latency));
    separator = ", ";
  }
  std::printf("]}\n");
  std::fflush(stdout);
}

}  // namespace Orvex::Bench
