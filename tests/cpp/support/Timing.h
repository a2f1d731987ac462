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

// A silent read gives up after one second; the margins leave room for a loaded machine.
constexpr long long read_limit_low_ms = 950;
constexpr long long read_limit_high_ms = 1600;
constexpr long long at_once_ms = 150;

}  // namespace Orvex::Testing
