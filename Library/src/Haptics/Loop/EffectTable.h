#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "Haptics/Effect.h"
#include "Haptics/Seqlock.h"
#include "../Realtime/ReaderEpoch.h"

namespace Orvex::HardwareAPI::Haptics {

// The effects one servo loop renders, in a fixed number of slots. Application threads add and
// remove (serialised by a lock the loop never takes); the loop thread alone calls render().
//
// Each slot is published through a seqlock as the pair (effect, generation), the generation
// growing with every add, so the loop tells a new effect from the one it rendered before by its
// generation, never by its address (an effect freed and another made at the same address is
// still new). The loop remembers, per slot, the generation it began and the last parameters it
// read whole.
//
// remove() and clear() return only once no cycle that may have read the effect is still
// rendering it (render() takes microseconds; nothing waits on the device), so an effect is
// never freed, nor handed to another loop, while this one reads it.
class EffectTable {
 public:
  static constexpr std::size_t capacity = 32;

  // What one cycle's effects sum to; proxy is set when an effect renders through one.
  struct Sum {
    Vector3d force{};
    bool has_proxy = false;
    Vector3d proxy{};
    bool non_finite = false;  // an effect's force was not finite: left out of the sum
    std::array<Vector3d, capacity> each{};  // each place's share of force (zero when empty)
  };

  EffectTable() = default;
  ~EffectTable();  // lets go of the effects; the loop must have stopped
  EffectTable(const EffectTable&) = delete;
  EffectTable& operator=(const EffectTable&) = delete;

  // Application threads.
  AddResult add(std::shared_ptr<Effect> effect);
  bool contains(const Effect* effect) const;
  // The effect at each place (null where none is), as the application last set them.
  std::array<const Effect*, capacity> held() const;
  bool remove(const Effect* effect);
  void clear();

  // While no loop thread runs (before it starts): every effect held begins afresh at the next
  // render().
  void restart();
  // Loop thread only. An effect that begins after the run's first rendered cycle ramps in on its
  // own, its force scaled from 1/ramp_cycles up to 1 over ramp_cycles cycles (0: no ramp). An
  // effect whose force is not finite is left out of that cycle's sum and ramps in again from the
  // next, so that a law that is not a number every other cycle never makes a square wave.
  Sum render(const EffectContext& context, std::uint64_t ramp_cycles) noexcept;

 private:
  struct Entry {
    Effect* effect;
    std::uint64_t generation;  // 0: never used
  };
  struct Rendering {  // the loop's own memory of a slot
    std::uint64_t generation = 0;
    std::uint64_t ramp_from = 0;  // the cycle its own ramp starts at
    bool ramps = false;           // it ramps on its own, not with the loop's ramp
    bool have_parameters = false;
    Effect::Parameters parameters{};
  };

  void publish(std::size_t slot, Effect* effect, std::uint64_t generation);
  // Empties a slot and returns once no render() can still be reading its effect.
  void retire(std::size_t slot);

  mutable std::mutex writers;                            // never taken by the loop
  std::array<std::shared_ptr<Effect>, capacity> owners{};  // under writers
  std::uint64_t generations = 0;                         // under writers

  std::array<Seqlock<Entry>, capacity> slots{};
  ReaderEpoch cycles;  // each render() is a read section

  std::array<Rendering, capacity> rendering{};  // loop thread only (and restart())
  bool run_rendered = false;                     // likewise
  std::uint64_t first_rendered_cycle = 0;        // likewise
};

}  // namespace Orvex::HardwareAPI::Haptics
