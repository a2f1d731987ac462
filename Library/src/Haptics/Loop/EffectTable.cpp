#include "EffectTable.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace Orvex::HardwareAPI::Haptics {

EffectTable::~EffectTable() { clear(); }

void EffectTable::publish(std::size_t slot, Effect* effect, std::uint64_t generation) {
  slots[slot].store(Entry{effect, generation});
}

AddResult EffectTable::add(std::shared_ptr<Effect> effect) {
  if (!effect) return AddResult::null;
  std::lock_guard<std::mutex> hold(writers);
  if (std::find(owners.begin(), owners.end(), effect) != owners.end())
    return AddResult::duplicate;
  const auto free_slot = std::find(owners.begin(), owners.end(), nullptr);
  if (free_slot == owners.end()) return AddResult::full;
  // An effect with state of its own is rendered by one loop at a time; other loops' tables
  // change the count under their own locks, so the claim is a single atomic step.
  if (effect->shareable()) {
    effect->holders.fetch_add(1, std::memory_order_relaxed);
  } else {
    int none = 0;
    if (!effect->holders.compare_exchange_strong(none, 1, std::memory_order_relaxed))
      return AddResult::held_elsewhere;
  }
  const auto slot = static_cast<std::size_t>(free_slot - owners.begin());
  publish(slot, effect.get(), ++generations);
  *free_slot = std::move(effect);
  return AddResult::added;
}

bool EffectTable::contains(const Effect* effect) const {
  std::lock_guard<std::mutex> hold(writers);
  return effect && std::any_of(owners.begin(), owners.end(),
                               [&](const auto& owner) { return owner.get() == effect; });
}

std::array<const Effect*, EffectTable::capacity> EffectTable::held() const {
  std::lock_guard<std::mutex> hold(writers);
  std::array<const Effect*, capacity> effects{};
  for (std::size_t slot = 0; slot < capacity; ++slot) effects[slot] = owners[slot].get();
  return effects;
}

void EffectTable::retire(std::size_t slot) {
  publish(slot, nullptr, 0);
  cycles.wait_for_readers_from_writer();
  owners[slot]->holders.fetch_sub(1, std::memory_order_relaxed);
  owners[slot].reset();
}

bool EffectTable::remove(const Effect* effect) {
  std::lock_guard<std::mutex> hold(writers);
  for (std::size_t slot = 0; slot < capacity; ++slot) {
    if (effect && owners[slot].get() == effect) {
      retire(slot);
      return true;
    }
  }
  return false;
}

void EffectTable::clear() {
  std::lock_guard<std::mutex> hold(writers);
  for (std::size_t slot = 0; slot < capacity; ++slot)
    if (owners[slot]) retire(slot);
}

void EffectTable::restart() {
  rendering.fill(Rendering{});
  run_rendered = false;
}

EffectTable::Sum EffectTable::render(const EffectContext& context,
                                     std::uint64_t ramp_cycles) noexcept {
  cycles.enter_from_reader();
  if (!run_rendered) {
    // Effects held from the run's first rendered cycle come in with the loop's own ramp.
    first_rendered_cycle = context.cycle;
    run_rendered = true;
  }
  Sum sum;
  for (std::size_t slot = 0; slot < capacity; ++slot) {
    Entry entry{};
    // A slot being rewritten this instant is being emptied or filled: skipping it is what the
    // writer asked for, a cycle early or late.
    if (!slots[slot].try_load(entry) || !entry.effect) continue;
    Rendering& mine = rendering[slot];
    if (mine.generation != entry.generation) {
      mine = Rendering{entry.generation, context.cycle, context.cycle > first_rendered_cycle,
                       false, {}};
      entry.effect->begin(context);
    }
    Effect::Parameters read{};
    if (entry.effect->try_read(read)) {
      mine.parameters = read;
      mine.have_parameters = true;
    }
    if (!mine.have_parameters) continue;  // first parameters still being written
    const Vector3d force = entry.effect->render(context, mine.parameters);
    if (!std::isfinite(force[0]) || !std::isfinite(force[1]) || !std::isfinite(force[2])) {
      sum.non_finite = true;
      mine.ramp_from = context.cycle + 1;
      mine.ramps = true;
      continue;
    }
    double scale = 1.0;
    if (mine.ramps && ramp_cycles > 0) {
      const double done = static_cast<double>(context.cycle - mine.ramp_from + 1);
      scale = std::min(1.0, done / static_cast<double>(ramp_cycles));
    }
    for (std::size_t i = 0; i < 3; ++i) {
      sum.each[slot][i] = scale * force[i];
      sum.force[i] += sum.each[slot][i];
    }
    if (!sum.has_proxy) sum.has_proxy = entry.effect->proxy(sum.proxy);
  }
  cycles.leave_from_reader();
  return sum;
}

}  // namespace Orvex::HardwareAPI::Haptics
