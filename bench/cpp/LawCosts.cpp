#include "LawCosts.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "RenderMark.h"
#include "SnapLaws.h"

namespace Orvex::Bench {

namespace {

using namespace HardwareAPI::Haptics;
using Clock = std::chrono::steady_clock;

struct Cost {
  double p50_us = NAN, p99_us = NAN;
};

// The arm swept back and forth through the snap point, so that both sides of its radius count.
EffectContext sweep(std::size_t cycle, const SnapPoint& snap) {
  EffectContext context;
  context.cycle = cycle;
  context.dt = 1e-3;
  context.time = 1e-3 * static_cast<double>(cycle);
  context.position = {snap.point[0] + 1.5 * snap.radius * std::sin(1e-2 * static_cast<double>(cycle)),
                      snap.point[1] + 0.002, snap.point[2]};
  return context;
}

// Times `call` once per cycle; `times` is filled beforehand so that timing allocates nothing.
template <class Call>
Cost timed(std::size_t cycles, const SnapPoint& snap, std::vector<double>& times, Call&& call) {
  times.assign(cycles, 0.0);
  volatile double sink = 0;
  for (std::size_t cycle = 0; cycle < cycles; ++cycle) {
    const EffectContext context = sweep(cycle, snap);
    const auto before = Clock::now();
    const Vector3d force = call(context);
    const auto after = Clock::now();
    sink = sink + force[0];
    times[cycle] = std::chrono::duration<double, std::micro>(after - before).count();
  }
  std::sort(times.begin(), times.end());
  return {times[cycles / 2], times[std::min(cycles - 1, cycles * 99 / 100)]};
}

Cost effect_cost(Effect* effect, std::size_t cycles, const SnapPoint& snap,
                 std::vector<double>& times) {
  if (!effect) return {};
  Effect::Parameters parameters{};
  effect->begin(sweep(0, snap));
  // As the loop's table does each cycle: the parameter record, then the law.
  return timed(cycles, snap, times, [&](const EffectContext& context) {
    effect->try_read(parameters);
    return effect->render(context, parameters);
  });
}

void print_cost(const char* name, const Cost& cost, bool last = false) {
  if (std::isnan(cost.p50_us))
    std::printf("\"%s\": null%s", name, last ? "" : ", ");
  else
    std::printf("\"%s\": {\"p50_us\": %.4f, \"p99_us\": %.4f}%s", name, cost.p50_us, cost.p99_us,
                last ? "" : ", ");
}

}  // namespace

void print_law_costs(std::size_t cycles) {
  const SnapPoint snap;
  const auto expression = snap_expression(snap);
  const auto native = snap_native(snap);
  const auto cpp = snap_cpp(snap);
  std::vector<double> times;
  times.reserve(cycles);
  Cost costs[5];
  std::uint64_t allocations = 0;
  std::thread([&] {
    const double parameters[5] = {snap.point[0], snap.point[1], snap.point[2], snap.stiffness,
                                  snap.radius};
    const std::uint64_t before = allocation_count_off_main_thread();
    costs[0] = effect_cost(expression.get(), cycles, snap, times);
    costs[1] = effect_cost(native.get(), cycles, snap, times);
    costs[2] = effect_cost(cpp.get(), cycles, snap, times);
    costs[3] = timed(cycles, snap, times, [&](const EffectContext& context) {
      orvex_effect_input input{};
      for (int i = 0; i < 3; ++i) input.position[i] = context.position[i];
      double force[3] = {0, 0, 0};
      bench_snap_point(&input, parameters, nullptr, force);
      return Vector3d{force[0], force[1], force[2]};
    });
    // What the supervisor costs the loop thread: marking the span of effects' code, each cycle.
    RenderMark mark;
    costs[4] = timed(cycles, snap, times, [&](const EffectContext& context) {
      mark.enter_from_loop(static_cast<std::int64_t>(context.cycle) + 1);
      return Vector3d{mark.leave_from_loop() ? 0.0 : 1.0, 0, 0};
    });
    allocations = allocation_count_off_main_thread() - before;
  }).join();
  std::printf("{\"law_costs\": {\"cycles\": %zu, ", cycles);
  print_cost("expression", costs[0]);
  print_cost("native", costs[1]);
  print_cost("cpp", costs[2]);
  print_cost("c_function_direct", costs[3]);
  print_cost("supervisor_mark", costs[4]);
  std::printf("\"allocations\": %llu}}\n", static_cast<unsigned long long>(allocations));
  std::fflush(stdout);
}

}  // namespace Orvex::Bench
