#pragma once

#include <chrono>

namespace Orvex::Testing {

// Wall time an action takes, in milliseconds.
template <class Action>
long long elapsed_ms(Action&& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// A silent read gives up after one second; the margins leave room for a loaded machine (the
// scheduler made a wait of 0.1 s last a second at a load of 12).
constexpr long long read_limit_low_ms = 950;
constexpr long long read_limit_high_ms = 2500;
constexpr long long at_once_ms = 400;

}  // namespace Orvex::Testing
