#pragma once

// The reaction a coupling exerted, handed from the loop to the application without a lock and
// without losing or repeating a cycle: the loop publishes running sums since construction, and
// each take differences the latest sums with those the previous take saw.

#include <cstdint>
#include <mutex>

#include "Haptics/Coupling.h"
#include "Haptics/Seqlock.h"

namespace Orvex::HardwareAPI::Haptics {

class ReactionLedger {
 public:
  // The loop thread of the one loop rendering the coupling: one cycle's reaction, over dt.
  void add(const Vector3d& reaction, double dt) noexcept;
  // Any application thread (takers take turns): the mean since the previous take.
  CouplingReaction take();

 private:
  struct Sums {
    Vector3d force{};
    std::uint64_t cycles = 0;
    double span_s = 0;
  };

  Sums running{};  // loop thread only
  // Written only by the loop; the application's reads never hold it up.
  Seqlock<Sums> published;

  std::mutex takers;  // never taken by the loop
  Sums taken{};       // under takers: the sums the previous take saw
};

}  // namespace Orvex::HardwareAPI::Haptics
