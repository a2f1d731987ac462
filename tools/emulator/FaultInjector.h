#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "Types.h"

namespace Orvex::Emulator {

// Chances, from 0 to 1, that a message on its way to the host is harmed.
struct FaultRates {
  double drop = 0;      // it is never sent
  double truncate = 0;  // only its first bytes are sent (at least the header code)
  double garble = 0;    // one bit of one byte is flipped
};

// Harms outgoing messages at the given rates, the same way every run for the same seed.
class FaultInjector {
 public:
  FaultInjector(const FaultRates& rates, std::uint64_t seed) : rates(rates), random(seed) {}

  // Returns what it did, for the log: empty when the message goes out whole. A dropped message
  // is left empty.
  std::string apply(Message& message);

 private:
  bool chance(double p);
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(random() % n); }

  FaultRates rates;
  std::mt19937_64 random;  // its sequence is fixed by the standard, so a seed repeats anywhere
};

}  // namespace Orvex::Emulator
