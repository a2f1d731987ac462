#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "Haptics/PublishedRecord.h"

namespace Orvex::HardwareAPI::Haptics {

class EffectTable;

// Positions, velocities and forces of the end effector: X, Y, Z.
using Vector3d = std::array<double, 3>;

// Why an effect was or was not added to a loop.
enum class AddResult {
  added,
  null,
  duplicate,       // the loop holds it already
  full,            // every place is in use
  held_elsewhere,  // an effect with state of its own that another loop renders
};

// What the servo loop knows of the cycle it asks an effect's force for.
struct EffectContext {
  Vector3d position{};      // m, of the last good reply
  Vector3d velocity{};      // m/s, of the last good reply
  double time = 0;          // s since the loop started
  double clock = 0;         // the cycle's start on the layer's clock (Haptics/Clock.h)
  double dt = 0;            // s since the previous cycle (the period at the first)
  std::uint64_t cycle = 0;  // this cycle's number, from 0 at each start
};

// A force field the servo loop adds up each cycle. The application may change an effect's
// parameters at any time, also while a loop renders it: a change is published whole, and the
// loop picks it up on its next cycle, never half of it. Setters refuse values outside an
// effect's law (returning false, parameters unchanged).
//
// A stateless effect overrides law(). An effect with state of its own (a filter, a proxy, a
// target it moves) overrides render() and begin(), which only the thread of the one loop that
// renders it calls, and says so with shareable() == false: such an effect is refused by a second
// loop while one renders it.
class Effect {
 public:
  static constexpr std::size_t max_parameters = 8;
  using Parameters = std::array<double, max_parameters>;

  virtual ~Effect() = default;
  Effect(const Effect&) = delete;
  Effect& operator=(const Effect&) = delete;

  // The parameters as last published, for the servo loop: false when a change was being
  // published during every attempt (the loop then keeps the parameters it read before).
  bool try_read(Parameters& parameters) const { return published.read_from_rt(parameters); }

  // The effect's law for one set of its parameters. Pure arithmetic: no allocation, no throw.
  virtual Vector3d law(const Parameters&, const Vector3d& /*x*/,
                       const Vector3d& /*v*/) const noexcept {
    return {};
  }
  // Loop thread only: the force for this cycle, given the parameters last read whole.
  virtual Vector3d render(const EffectContext& context, const Parameters& parameters) noexcept {
    return law(parameters, context.position, context.velocity);
  }
  // Loop thread only: the effect is about to be rendered from this cycle on (added to a running
  // loop, or the loop started with it); an effect with state starts it afresh here.
  virtual void begin(const EffectContext&) noexcept {}
  // Loop thread only, after render(): the point the arm is held at when the effect renders a
  // surface through a proxy; false when it has none.
  virtual bool proxy(Vector3d&) const noexcept { return false; }
  // Whether several loops may render this effect at once: only when it keeps no state.
  virtual bool shareable() const noexcept { return true; }

  // The force at x and v with the current parameters.
  Vector3d force_at(const Vector3d& x, const Vector3d& v) const { return law(parameters(), x, v); }

 protected:
  Effect() = default;  // for effects whose state does not fit the parameter record
  explicit Effect(const Parameters& initial) : published(initial) {}

  Parameters parameters() const { return published.read_from_non_rt(); }
  // Publishes the parameters that change makes of the current ones; writers take turns.
  template <class Change>
  void update(Change&& change) {
    published.write_from_non_rt(change);
  }

 private:
  friend class EffectTable;

  PublishedRecord<Parameters> published;
  // How many loops hold the effect; changed under their tables' locks, which differ from loop to
  // loop, hence atomic. Read only by those writers: relaxed is enough.
  std::atomic<int> holders{0};
};

}  // namespace Orvex::HardwareAPI::Haptics
