#include "Haptics/ServoLoop.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <utility>

#include "../Coupling/PassivityController.h"
#include "EffectTable.h"
#include "ForceLimit.h"
#include "Haptics/StreamClaim.h"
#include "LatencyHistogram.h"
#include "../Recording/RecordingTap.h"
#include "TraceRing.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The loop's frames are small; this leaves room for sanitizer builds without relying on the C
// library's default, which is 128 KiB on musl.
constexpr std::size_t loop_stack_size = 256 * 1024;

std::int64_t now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void sleep_until(std::int64_t deadline_ns) {
  timespec deadline{};
  deadline.tv_sec = static_cast<time_t>(deadline_ns / 1000000000);
  deadline.tv_nsec = static_cast<long>(deadline_ns % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

// A real-time class for the calling thread only, in the middle of the FIFO priorities.
bool request_realtime() {
  sched_param parameters{};
  parameters.sched_priority =
      (sched_get_priority_min(SCHED_FIFO) + sched_get_priority_max(SCHED_FIFO)) / 2;
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
}

Vector3d widened(const Devices::Vector3& values) { return {values[0], values[1], values[2]}; }

void add_to(Vector3d& sum, const Vector3d& term) {
  for (std::size_t i = 0; i < 3; ++i) sum[i] += term[i];
}

// The state record: time, cycle, position, velocity, force, proxy.
constexpr std::size_t state_values = 2 + 4 * 3;
using StateValues = std::array<double, state_values>;
using StateRecord = Seqlock<StateValues>;

// A recording holds the trace's columns, in their order.
RecordRow recorded_row(const TraceRow& row) {
  RecordRow values{};
  std::memcpy(values.data(), &row, sizeof row);
  return values;
}

const char* const recorded_columns[trace_columns] = {
    "time", "x",  "y",           "z",       "vx",      "vy",      "vz",   "fx",
    "fy",   "fz", "exchange_us", "proxy_x", "proxy_y", "proxy_z", "cycle"};

// Seconds of cycles the recording's queue holds, so that a writer held up by the disk or by a
// loaded machine loses nothing.
constexpr double recording_queue_s = 4.0;

}  // namespace

const char* ServoSettings::problem() const {
  if (!(rate_hz > 0 && rate_hz <= ServoLoop::max_rate_hz)) return "rate_hz must be in (0, 10000]";
  if (!(std::isfinite(max_force) && max_force > 0))
    return "max_force must be finite and positive";
  if (!(watchdog_s >= 0 && std::isfinite(watchdog_s)))
    return "watchdog_s must be finite and not negative";
  return nullptr;
}

struct ServoLoop::Impl {
  Impl(IO::SerialStream* stream, const ServoSettings& settings)
      : stream(stream),
        settings(settings),
        corvane(stream),
        trace(settings.trace_capacity),
        passivity(settings.max_force) {}

  // The application's side: settings, the claim and the thread are touched by start() and
  // stop() alone.
  IO::SerialStream* stream;
  const ServoSettings settings;
  Devices::Corvane corvane;
  Devices::DeviceInfo info{};
  StreamClaim claim;
  pthread_t thread{};
  bool thread_started = false;

  EffectTable effects;

  std::mutex force_writers;
  Seqlock<Vector3d> app_force;

  // Shared with the loop.
  std::atomic<bool> active{false};
  std::atomic<bool> stop_requested{false};
  std::atomic<std::int64_t> fed_at_ns{0};
  std::atomic<std::int64_t> started_ns{0};
  std::atomic<std::int64_t> ended_ns{0};
  std::atomic<std::uint64_t> cycles{0}, missed{0}, clamped{0}, non_finite{0}, watchdog_trips{0};
  std::atomic<bool> realtime_granted{false};
  std::atomic<StopReason> stop_reason{StopReason::none};
  LatencyHistogram lateness;
  LatencyHistogram exchange_time;
  StateRecord state;
  TraceRing trace;
  PassivityController passivity;
  RecordingTap recording;

  // The loop's own.
  Vector3d cached_app_force{};

  static void* entry(void* self) {
    static_cast<Impl*>(self)->run();
    return nullptr;
  }

  void reset_measurements() {
    for (auto* counter : {&cycles, &missed, &clamped, &non_finite, &watchdog_trips})
      counter->store(0, relaxed);
    realtime_granted.store(false, relaxed);
    stop_reason.store(StopReason::none, relaxed);
    lateness.reset();
    exchange_time.reset();
    trace.reset();
    effects.restart();
    passivity.reset();
  }

  bool starting_thread() {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setstacksize(&attributes, loop_stack_size);
    const bool created = pthread_create(&thread, &attributes, &Impl::entry, this) == 0;
    pthread_attr_destroy(&attributes);
    return created;
  }

  void join() {
    if (!thread_started) return;
    pthread_join(thread, nullptr);
    thread_started = false;
    claim.release();
  }

  // The force the effects and the application ask for in this cycle's context.
  EffectTable::Sum wanted_force(const EffectContext& context) {
    // While a writer is busy, the force it is replacing stands for one more cycle.
    Vector3d app{};
    if (app_force.try_load(app)) cached_app_force = app;
    EffectTable::Sum sum = effects.render(context, 0);
    add_to(sum.force, cached_app_force);
    if (settings.passivity) sum.force = passivity.filter(context, sum.force);
    return sum;
  }

  void publish(const EffectContext& context, const Vector3d& x, const Vector3d& v,
               const Vector3d& proxy, const Devices::Vector3& command, std::int64_t exchange_ns) {
    TraceRow row{};
    row.time = context.time;
    row.position = x;
    row.velocity = v;
    row.force = widened(command);
    row.exchange_us = exchange_ns / 1e3;
    row.proxy = proxy;
    row.cycle = static_cast<double>(context.cycle);
    trace.push(row);
    recording.offer(recorded_row(row));
    state.store({row.time, row.cycle, x[0], x[1], x[2], v[0], v[1], v[2], row.force[0],
                 row.force[1], row.force[2], proxy[0], proxy[1], proxy[2]});
  }

  void run() {
    prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);
    if (settings.realtime) realtime_granted.store(request_realtime(), relaxed);
    const auto period_ns = static_cast<std::int64_t>(std::llround(1e9 / settings.rate_hz));
    const auto watchdog_ns = static_cast<std::int64_t>(std::llround(settings.watchdog_s * 1e9));
    const std::int64_t started = started_ns.load(relaxed);
    std::int64_t deadline = started;
    std::int64_t previous_wake = started - period_ns;
    std::uint64_t cycle = 0;
    Vector3d x{}, v{};
    bool replied = false;
    bool starved = false;
    bool lost = false;

    while (!stop_requested.load(std::memory_order_acquire)) {
      sleep_until(deadline);
      const std::int64_t woke = now_ns();
      lateness.record(woke - deadline);

      EffectContext context;
      context.position = x;
      context.velocity = v;
      context.time = (woke - started) / 1e9;
      context.dt = (woke - previous_wake) / 1e9;
      context.cycle = cycle;
      previous_wake = woke;
      EffectTable::Sum sum;
      if (replied) sum = wanted_force(context);
      Vector3d wanted = sum.force;
      const Vector3d proxy = sum.has_proxy ? sum.proxy : x;

      const bool hungry = watchdog_ns > 0 && woke - fed_at_ns.load(relaxed) > watchdog_ns;
      if (hungry && !starved) watchdog_trips.fetch_add(1, relaxed);
      starved = hungry;
      if (starved) wanted = {};

      const LimitedForce force = limit_force(wanted, settings.max_force);
      if (force.clamped) clamped.fetch_add(1, relaxed);
      if (force.non_finite) non_finite.fetch_add(1, relaxed);

      const std::int64_t sent = now_ns();
      const Devices::EndEffectorState reply = corvane.end_effector_force(force.command);
      const std::int64_t answered = now_ns();
      exchange_time.record(answered - sent);
      if (!stream->good()) {
        lost = true;
        break;
      }
      x = widened(reply.position);
      v = widened(reply.velocity);
      replied = true;
      publish(context, x, v, proxy, force.command, answered - sent);
      ++cycle;
      cycles.store(cycle, std::memory_order_release);

      deadline += period_ns;
      if (answered > deadline) {
        missed.fetch_add(1, relaxed);
        deadline = answered;
      }
    }

    if (!lost) corvane.end_effector_force({0, 0, 0});
    ended_ns.store(now_ns(), relaxed);
    stop_reason.store(lost ? StopReason::device_lost : StopReason::stop);
    active.store(false, std::memory_order_release);
  }

};

ServoLoop::ServoLoop(IO::SerialStream* stream, const ServoSettings& settings)
    : impl(std::make_unique<Impl>(stream, settings)) {}

ServoLoop::~ServoLoop() { stop(); }

StartResult ServoLoop::start() {
  Impl& loop = *impl;
  if (loop.settings.problem()) return StartResult::invalid_settings;
  if (loop.active.load()) return StartResult::already_running;
  loop.join();  // a run that ended by itself

  loop.claim = StreamClaim::acquire(loop.stream);
  if (!loop.claim) return StartResult::stream_claimed;
  loop.info = loop.corvane.device_wakeup();
  if (loop.info.device_model_number != Devices::Corvane::model_number) {
    loop.claim.release();
    return StartResult::not_a_corvane;
  }

  loop.reset_measurements();
  loop.stop_requested.store(false);
  const std::int64_t now = now_ns();
  loop.started_ns.store(now);
  loop.fed_at_ns.store(now);
  loop.active.store(true);
  if (!loop.starting_thread()) {
    loop.active.store(false);
    loop.claim.release();
    return StartResult::thread_failed;
  }
  loop.thread_started = true;
  return StartResult::started;
}

void ServoLoop::stop() {
  impl->stop_requested.store(true, std::memory_order_release);
  impl->join();
  impl->recording.end();
}

bool ServoLoop::running() const { return impl->active.load(std::memory_order_acquire); }

const ServoSettings& ServoLoop::settings() const { return impl->settings; }

const Devices::DeviceInfo& ServoLoop::info() const { return impl->info; }

bool ServoLoop::set_force(const Vector3d& force) {
  if (!std::isfinite(force[0]) || !std::isfinite(force[1]) || !std::isfinite(force[2]))
    return false;
  {
    std::lock_guard<std::mutex> hold(impl->force_writers);
    impl->app_force.store(force);
  }
  feed();
  return true;
}

Vector3d ServoLoop::force() const { return impl->app_force.load(); }

void ServoLoop::feed() { impl->fed_at_ns.store(now_ns(), relaxed); }

AddResult ServoLoop::add(std::shared_ptr<Effect> effect) {
  return impl->effects.add(std::move(effect));
}

bool ServoLoop::contains(const Effect* effect) const { return impl->effects.contains(effect); }

bool ServoLoop::remove(const Effect* effect) { return impl->effects.remove(effect); }

void ServoLoop::clear() { impl->effects.clear(); }

namespace {

ServoState decoded(const StateValues& values) {
  ServoState state;
  state.time = values[0];
  state.cycle = static_cast<std::uint64_t>(values[1]);
  for (std::size_t i = 0; i < 3; ++i) {
    state.position[i] = values[2 + i];
    state.velocity[i] = values[5 + i];
    state.force[i] = values[8 + i];
    state.proxy[i] = values[11 + i];
  }
  return state;
}

}  // namespace

std::optional<ServoState> ServoLoop::state() const {
  if (impl->cycles.load(std::memory_order_acquire) == 0) return std::nullopt;
  return decoded(impl->state.load());
}

bool ServoLoop::try_state(ServoState& state) const noexcept {
  StateValues values;
  if (impl->cycles.load(std::memory_order_acquire) == 0 || !impl->state.try_load(values))
    return false;
  state = decoded(values);
  return true;
}

IO::SerialStream* ServoLoop::stream() const { return impl->stream; }

ServoStats ServoLoop::stats() const {
  const Impl& loop = *impl;
  ServoStats stats;
  stats.cycles = loop.cycles.load(std::memory_order_acquire);
  const bool active = loop.active.load();
  const std::int64_t end = active ? now_ns() : loop.ended_ns.load(relaxed);
  const std::int64_t elapsed = end - loop.started_ns.load(relaxed);
  if (stats.cycles > 0 && elapsed > 0) stats.rate_hz = stats.cycles * 1e9 / elapsed;
  stats.missed = loop.missed.load(relaxed);
  stats.late_p50_us = loop.lateness.quantile_us(0.50);
  stats.late_p99_us = loop.lateness.quantile_us(0.99);
  stats.late_max_us = loop.lateness.max_us();
  stats.exchange_p50_us = loop.exchange_time.quantile_us(0.50);
  stats.exchange_p99_us = loop.exchange_time.quantile_us(0.99);
  stats.exchange_max_us = loop.exchange_time.max_us();
  stats.clamped = loop.clamped.load(relaxed);
  stats.non_finite = loop.non_finite.load(relaxed);
  stats.watchdog_trips = loop.watchdog_trips.load(relaxed);
  stats.realtime = loop.realtime_granted.load(relaxed);
  stats.passivity_energy_j = loop.passivity.energy_j();
  stats.passivity_cycles = loop.passivity.cycles_acted();
  stats.stop_reason = loop.stop_reason.load();
  stats.exchange_budget_us = 1e6 / loop.settings.rate_hz;
  const RecordTotals recorded = loop.recording.totals();
  stats.recorded = recorded.rows;
  stats.record_lost = recorded.lost;
  return stats;
}

std::size_t ServoLoop::trace_capacity() const { return impl->trace.capacity(); }

std::size_t ServoLoop::copy_trace(TraceRow* rows) const {
  TraceCopy copy = trace();
  std::copy(copy.rows.begin(), copy.rows.end(), rows);
  return copy.rows.size();
}

TraceCopy ServoLoop::trace(std::optional<std::uint64_t> after_cycle) const {
  TraceCopy copy;
  impl->trace.copy(after_cycle, copy);
  return copy;
}

int ServoLoop::record(const std::string& path) {
  const auto queue_rows =
      static_cast<std::size_t>(std::ceil(recording_queue_s * impl->settings.rate_hz));
  return impl->recording.begin(path, {recorded_columns, trace_columns}, queue_rows);
}

std::optional<RecordResult> ServoLoop::stop_recording() { return impl->recording.end(); }

}  // namespace Orvex::HardwareAPI::Haptics
