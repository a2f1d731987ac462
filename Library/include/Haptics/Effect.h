#pragma once

#include <array>
#include <cstddef>
#include <mutex>

#include "Haptics/Seqlock.h"

namespace Orvex::HardwareAPI::Haptics {

// Positions, velocities and forces of the end effector: X, Y, Z.
using Vector3d = std::array<double, 3>;

// A force field the servo loop adds up each cycle from the arm's position x and velocity v. The
// application may change an effect's parameters at any time, also while a loop renders it: a
// change is published whole, and the loop picks it up on its next cycle, never half of it.
// Setters refuse values outside an effect's law (returning false, parameters unchanged).
class Effect {
 public:
  static constexpr std::size_t max_parameters = 8;
  using Parameters = std::array<double, max_parameters>;

  virtual ~Effect() = default;
  Effect(const Effect&) = delete;
  Effect& operator=(const Effect&) = delete;

  // The parameters as last published, for the servo loop: false when a change was being
  // published during every attempt (the loop then keeps the parameters it read before).
  bool try_read(Parameters& parameters) const { return published.try_load(parameters); }
  // The effect's law for one set of its parameters. Pure arithmetic: no allocation, no throw.
  virtual Vector3d law(const Parameters& parameters, const Vector3d& x,
                       const Vector3d& v) const noexcept = 0;
  // The force at x and v with the current parameters.
  Vector3d force_at(const Vector3d& x, const Vector3d& v) const { return law(parameters(), x, v); }

 protected:
  explicit Effect(const Parameters& initial) : published(initial) {}

  Parameters parameters() const { return published.load(); }
  // Publishes the parameters that change makes of the current ones; writers take turns.
  template <class Change>
  void update(Change&& change) {
    std::lock_guard<std::mutex> hold(writers);
    Parameters next = published.load();
    change(next);
    published.store(next);
  }

 private:
  std::mutex writers;  // never taken by the loop
  Seqlock<Parameters> published;
};

}  // namespace Orvex::HardwareAPI::Haptics
