#include "Haptics/ServoLoop.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

#include "../MonotonicClock.h"
#include "CorvaneLink.h"
#include "EffectTable.h"
#include "ForcePipeline.h"
#include "Haptics/Clock.h"
#include "Haptics/Guardian.h"
#include "Haptics/PortLock.h"
#include "Haptics/StreamClaim.h"
#include "LatencyHistogram.h"
#include "../Realtime/DeviceThread.h"
#include "../Recording/RecordingTap.h"
#include "RenderMark.h"
#include "ThreadActivity.h"
#include "ReplyCheck.h"
#include "SameCorvane.h"
#include "TraceRing.h"
#include "Widened.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The loop's frames are small; this leaves room for sanitizer builds. The supervisor's frames
// are smaller still.
constexpr std::size_t loop_stack_size = 256 * 1024;
constexpr std::size_t supervisor_stack_size = 128 * 1024;

std::int64_t now_ns() { return monotonic_ns(); }

// The longest the loop sleeps at a time: stop() is answered this quickly at any rate.
constexpr std::int64_t sleep_slice_ns = 10'000'000;

// Sleeps until the deadline, or until a stop is asked for.
void sleep_until(std::int64_t deadline_ns, const std::atomic<bool>& stop_requested) {
  // Acquire: pairs with stop()'s release, though the flag guards no data of its own.
  while (!stop_requested.load(std::memory_order_acquire)) {
    const std::int64_t now = now_ns();
    if (now >= deadline_ns) return;
    const std::int64_t until = deadline_ns - now > sleep_slice_ns ? now + sleep_slice_ns
                                                                 : deadline_ns;
    timespec wake{static_cast<time_t>(until / 1000000000), static_cast<long>(until % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
  }
}

// A reply is awaited for at least the time a command and its reply take on a 115200-baud line
// (13 + 25 bytes of 10 bits: 3.3 ms), so that a whole reply is never taken for a missing one and
// its state used a cycle late; and for at most 50 ms, so that stop() stays prompt at low rates.
constexpr std::int64_t shortest_reply_wait_ns = 3'500'000;
constexpr std::int64_t longest_reply_wait_ns = 50'000'000;
// How long a wake-up may take: at start, and when a reconnecting loop tries the port again.
constexpr std::int64_t wakeup_wait_ns = 1'000'000'000;
constexpr std::int64_t rewake_wait_ns = 200'000'000;
// A wake-up reply cut short or garbled is followed by no more bytes of it: each attempt waits
// this long, and start() tries again within its second.
constexpr std::int64_t wakeup_attempt_ns = 200'000'000;
// How long an effect may run before the supervisor takes the arm from the loop, when the
// watchdog (whose time it is otherwise) is off.
constexpr std::int64_t hang_limit_without_watchdog_ns = 1'000'000'000;
// How long stop() lets a cycle in an effect's code finish before taking the arm itself, so that
// stop() returns within a second whatever the effect does.
constexpr std::int64_t stop_grace_ns = 500'000'000;
// How much longer the supervisor waits for a loop thread that is ready but held off the
// processor (a loaded machine, user-mode emulation) before it takes the arm anyway.
constexpr std::int64_t longest_wait_for_processor_ns = 2'000'000'000;

// Locking all memory, current and future, keeps page faults off the loop, as real-time audio
// servers do; but under a finite memlock limit, future allocations beyond it would fail, so it
// is done only when the limit is unlimited.
bool lock_memory() {
  rlimit limit{};
  if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY) return false;
  return mlockall(MCL_CURRENT | MCL_FUTURE) == 0;
}

void add_to(Vector3d& sum, const Vector3d& term) {
  for (std::size_t i = 0; i < 3; ++i) sum[i] += term[i];
}

double flag(bool value) { return value ? 1.0 : 0.0; }

// The row the loop offers a recording: the cycle's columns, then three for each place of the
// effect table; a recording picks the columns it writes (see record()).
constexpr std::size_t offered_columns = cycle_columns + 3 * EffectTable::capacity;
static_assert(offered_columns <= max_record_columns, "a recorded row holds every effect's force");

// The marks kept for the trace: the latest ones, enough for any trace a person reads through.
constexpr std::size_t kept_marks = 4096;

// Seconds of cycles the recording's queue holds, so that a writer held up by the disk or by a
// loaded machine loses nothing.
constexpr double recording_queue_s = 4.0;

}  // namespace

const char* ServoSettings::problem() const {
  if (!(rate_hz >= 1 && rate_hz <= ServoLoop::max_rate_hz)) return "rate_hz must be in [1, 10000]";
  // A clamp above the largest float32 would put infinity on the wire.
  if (!(max_force > 0 && max_force <= FLT_MAX))
    return "max_force must be positive and finite as a float32";
  if (!(watchdog_s >= 0 && std::isfinite(watchdog_s)))
    return "watchdog_s must be finite and not negative";
  if (!(ramp_s >= 0 && ramp_s <= 60)) return "ramp_s must be in [0, 60]";
  // Zero would be no force at all, or none allowed: a limit is positive, and none is no limit.
  if (max_force_step && !(*max_force_step > 0 && std::isfinite(*max_force_step)))
    return "max_force_step must be positive and finite when set (unset: no limit)";
  if (max_speed && !(*max_speed > 0 && std::isfinite(*max_speed)))
    return "max_speed must be positive and finite when set (unset: no limit)";
  if (!(lost_after_s > 0 && lost_after_s <= 60)) return "lost_after_s must be in (0, 60]";
  if (give_up_s && !(*give_up_s > 0 && std::isfinite(*give_up_s)))
    return "give_up_s must be positive and finite when set (unset: wait until stop())";
  return nullptr;
}

const char* stop_reason_text(StopReason reason) {
  switch (reason) {
    case StopReason::stop: return "stop";
    case StopReason::device_lost: return "device lost";
    case StopReason::effect_hung: return "effect hung";
    case StopReason::gave_up: return "gave up reconnecting";
    case StopReason::none: break;
  }
  return nullptr;
}

struct ServoLoop::Impl {
  Impl(IO::SerialStream* stream, const ServoSettings& settings)
      : stream(stream),
        settings(settings),
        trace(settings.trace_capacity),
        reconnection(settings.give_up_s.value_or(0)),
        pipeline(settings) {}

  // The application's side: the settings, the claim, the port's lock, the guardian and the
  // thread are touched by start() and stop() alone, which hold `lifecycle` throughout, so two
  // threads never join one thread.
  IO::SerialStream* stream;
  const ServoSettings settings;
  Devices::DeviceInfo info{};
  std::mutex lifecycle;
  // Declared in this order so that a loop destroyed while abandoned frees its stream first, then
  // its port, then waits for its guardian to go.
  Guardian guardian;
  PortLock port_lock;
  StreamClaim claim;
  DeviceThread thread;
  // An effect never returned: the loop thread was let go of and may still be stuck in it, so
  // the stream stays claimed and the loop never starts again.
  bool abandoned = false;
  CorvaneLink link;  // the application's at start(), then the loop thread's alone

  // The supervisor, which takes the arm from a loop stuck in an effect.
  DeviceThread supervisor;
  std::atomic<bool> supervisor_stop{false};
  RenderMark render_mark;
  ThreadActivity loop_activity;
  CorvaneLink rescue_link;  // the one thread that took the arm over's
  int link_descriptor = -1;  // the port's, set by start()
  // Set by the loop thread as it returns (release: whatever it did happens before a join).
  std::atomic<bool> loop_returned{false};

  EffectTable effects;
  std::mutex names_lock;  // application threads only
  std::map<const Effect*, std::string> effect_names;  // under names_lock
  std::mutex marks_lock;  // application threads only
  std::deque<RecordMark> marks;  // under marks_lock, the latest kept_marks of this run

  std::mutex force_writers;
  Seqlock<Vector3d> app_force;

  // Shared with the loop. Counters are relaxed: each is a figure of its own, read for display.
  std::atomic<bool> active{false};
  std::atomic<bool> stop_requested{false};
  std::atomic<bool> connected{true};
  std::atomic<std::int64_t> fed_at_ns{0};
  std::atomic<std::int64_t> started_ns{0};
  std::atomic<std::int64_t> ended_ns{0};
  std::atomic<std::uint64_t> cycles{0}, missed{0}, bad_replies{0};
  std::atomic<bool> realtime_granted{false};
  std::atomic<bool> memory_locked{false};
  std::atomic<StopReason> stop_reason{StopReason::none};
  LatencyHistogram lateness;
  LatencyHistogram exchange_time;
  Seqlock<CycleRecord> state;
  TraceRing trace;
  SameCorvane same_corvane;  // the loop thread's while it runs, start()'s before
  Reconnection reconnection;
  ForcePipeline pipeline;
  RecordingTap recording;

  // The loop's own.
  Vector3d cached_app_force{};

  std::int64_t hang_limit_ns() const {
    return settings.watchdog_s > 0 ? static_cast<std::int64_t>(std::llround(settings.watchdog_s * 1e9))
                                   : hang_limit_without_watchdog_ns;
  }

  // Supervisor thread (or stop()): takes the arm from a loop stuck in the span of effects' code
  // that began at `span`, commands zero at once, and ends the run as "effect hung". False when
  // the loop left that span first.
  bool take_over(std::int64_t span) {
    if (!render_mark.take_over(span)) return false;
    const std::int64_t now = now_ns();
    rescue_link.attach(link_descriptor);
    Devices::Vector3 position{}, velocity{};
    if (rescue_link.send_force({0, 0, 0}, now + shortest_reply_wait_ns))
      rescue_link.receive_state(now + shortest_reply_wait_ns, position, velocity);
    // A law that spins at a real-time priority would starve the machine's other work.
    sched_param lowest{};
    pthread_setschedparam(thread.handle(), SCHED_IDLE, &lowest);
    ended_ns.store(now_ns(), relaxed);
    stop_reason.store(StopReason::effect_hung);
    active.store(false, std::memory_order_release);
    return true;
  }

  void supervise() {
    const std::int64_t limit = hang_limit_ns();
    // Acquire: pairs with stop()'s release.
    while (!supervisor_stop.load(std::memory_order_acquire)) {
      const std::int64_t now = now_ns();
      const std::int64_t span = render_mark.open_span();
      if (span && now - span >= limit) {
        // A thread the scheduler holds off is not stuck in the effect: looked at again.
        if (now - span < limit + longest_wait_for_processor_ns &&
            loop_activity.held_off_processor(thread.handle()))
          continue;
        if (take_over(span)) return;
        continue;
      }
      // A span opened after this look cannot be overdue before now + limit.
      sleep_until(span ? span + limit : now + limit, supervisor_stop);
    }
  }

  // Under `lifecycle`, once the loop was asked to stop (or ended by itself): waits for the loop
  // thread, taking the arm itself from a cycle that stays in an effect beyond the grace time.
  void end_threads() {
    if (thread.started()) {
      const std::int64_t give_up = now_ns() + stop_grace_ns;
      // Acquire: pairs with the thread's release as it returns.
      while (!loop_returned.load(std::memory_order_acquire) && !render_mark.taken_over()) {
        if (now_ns() >= give_up) {
          if (const std::int64_t span = render_mark.open_span()) take_over(span);
        }
        const timespec pause{0, 1'000'000};
        nanosleep(&pause, nullptr);
      }
      if (render_mark.taken_over()) {
        thread.detach_from_owner();
        abandoned = true;
      } else {
        thread.join_from_owner();
      }
    }
    if (supervisor.started()) {
      // Release: pairs with the supervisor's acquire.
      supervisor_stop.store(true, std::memory_order_release);
      supervisor.join_from_owner();
    }
    if (!abandoned) let_go();
  }

  // Before the thread starts (start() holds `lifecycle`).
  void reset_measurements() {
    for (auto* counter : {&cycles, &missed, &bad_replies}) counter->store(0, relaxed);
    realtime_granted.store(false, relaxed);
    connected.store(true, relaxed);
    stop_reason.store(StopReason::none, relaxed);
    reconnection.restart_from_owner();
    lateness.reset();
    exchange_time.reset();
    trace.reset();
    effects.restart();
    pipeline.reset();
    std::lock_guard<std::mutex> hold(marks_lock);
    marks.clear();
  }

  // The zero the loop ended with is on the wire: the guardian leaves, then the port is free.
  void let_go() {
    guardian.stand_down();
    port_lock.release();
    claim.release();
  }

  std::uint64_t ramp_cycles() const {
    return static_cast<std::uint64_t>(std::llround(settings.ramp_s * settings.rate_hz));
  }

  // The force the effects and the application ask for in this cycle's context.
  EffectTable::Sum wanted_force(const EffectContext& context) {
    // While a writer is busy, the force it is replacing stands for one more cycle.
    Vector3d app{};
    if (app_force.try_load(app)) cached_app_force = app;
    EffectTable::Sum sum = effects.render(context, ramp_cycles());
    add_to(sum.force, cached_app_force);
    return sum;
  }

  // The cycle goes out to state(), the trace and the recording, with each effect's force.
  void publish(const CycleRecord& record, const EffectTable::Sum& sum) {
    trace.push(record);
    state.store(record);
    RecordRow row;
    const std::array<double, cycle_columns> values = cycle_values(record);
    std::copy(values.begin(), values.end(), row.begin());
    for (std::size_t slot = 0; slot < EffectTable::capacity; ++slot)
      for (std::size_t i = 0; i < 3; ++i) row[cycle_columns + 3 * slot + i] = sum.each[slot][i];
    recording.offer(row);
  }

  // The device is gone: one last attempt to command zero force, so that it is never left
  // holding the last one. True when the loop waits for it to come back.
  bool lose_device(std::int64_t now) {
    link.send_force({0, 0, 0}, now + shortest_reply_wait_ns);
    connected.store(false, relaxed);
    reconnection.lost_from_owner(now);
    return settings.reconnect;
  }

  // A reconnecting loop's wait: the same Corvane back at the port's path.
  Reconnection::Attempt reconnect() {
    const IO::serialib* port = stream->port();
    const Reconnection::Attempt attempt = reconnection.attempt_from_owner(
        stream->path(), port ? port->fd : -1, same_corvane, rewake_wait_ns);
    if (attempt == Reconnection::Attempt::adopted) connected.store(true, relaxed);
    return attempt;
  }

  void run() {
    loop_activity.identify_from_watched_thread();
    const auto period_ns = static_cast<std::int64_t>(std::llround(1e9 / settings.rate_hz));
    const auto watchdog_ns = static_cast<std::int64_t>(std::llround(settings.watchdog_s * 1e9));
    const auto lost_after_ns = static_cast<std::int64_t>(std::llround(settings.lost_after_s * 1e9));
    const std::int64_t reply_wait_ns =
        std::min(std::max(period_ns, shortest_reply_wait_ns), longest_reply_wait_ns);
    ReplyCheck check;
    const std::int64_t started = started_ns.load(relaxed);
    std::int64_t deadline = started;
    std::int64_t previous_wake = started - period_ns;
    std::int64_t last_good = started;
    std::uint64_t cycle = 0;
    std::int64_t reply_cycle = -1;  // the cycle whose exchange brought x and v; -1: none yet
    Vector3d x{}, v{};
    bool lost = false;
    bool gave_up = false;

    // Acquire: pairs with stop()'s release.
    while (!stop_requested.load(std::memory_order_acquire)) {
      sleep_until(deadline, stop_requested);
      if (stop_requested.load(std::memory_order_acquire)) break;
      const std::int64_t woke = now_ns();

      if (!connected.load(relaxed)) {
        // Nothing is commanded while the device is away; it comes back with the ramp, from a
        // fresh reply.
        const Reconnection::Attempt attempt = reconnect();
        if (attempt == Reconnection::Attempt::adopted) {
          check.forget();
          pipeline.reconnected(cycle);
          reply_cycle = -1;
          last_good = now_ns();
          deadline = last_good;
        } else if (attempt == Reconnection::Attempt::gave_up) {
          gave_up = true;
          break;
        } else {
          deadline = now_ns() + Reconnection::attempt_period_ns;
        }
        continue;
      }
      lateness.record(woke - deadline);

      EffectContext context;
      context.position = x;
      context.velocity = v;
      context.time = (woke - started) / 1e9;
      context.clock = woke / 1e9;
      context.dt = (woke - previous_wake) / 1e9;
      context.cycle = cycle;
      previous_wake = woke;
      EffectTable::Sum sum;
      if (reply_cycle >= 0) {
        render_mark.enter_from_loop(woke);
        sum = wanted_force(context);
        // Taken over while in an effect: the arm is no longer this thread's.
        if (!render_mark.leave_from_loop()) return;
      }
      const bool starved = watchdog_ns > 0 && woke - fed_at_ns.load(relaxed) > watchdog_ns;
      const ForcePipeline::Command command =
          pipeline.command(context, sum.force, sum.non_finite, starved);

      const std::int64_t sent = now_ns();
      Devices::Vector3 position{}, velocity{};
      CorvaneLink::Reply reply = CorvaneLink::Reply::hung_up;
      const bool went_out = link.send_force(command.force, sent + reply_wait_ns);
      pipeline.sent(went_out ? command.force : Devices::Vector3{});
      if (went_out) reply = link.receive_state(sent + reply_wait_ns, position, velocity);
      if (link.sent_after_stale_reply()) missed.fetch_add(1, relaxed);  // a late reply's force
      const std::int64_t answered = now_ns();
      exchange_time.record(answered - sent);
      if (reply == CorvaneLink::Reply::good && !check.accept(position, velocity, answered))
        reply = CorvaneLink::Reply::bad;

      CycleRecord record{};
      record.time = woke / 1e9;
      record.force = widened(command.force);
      record.exchange_us = (answered - sent) / 1e3;
      record.proxy = sum.has_proxy ? sum.proxy : x;
      record.cycle = static_cast<double>(cycle);
      record.reply_cycle = static_cast<double>(reply_cycle);
      record.ramping = flag(command.flags.ramping);
      record.step_limited = flag(command.flags.step_limited);
      record.speed_limited = flag(command.flags.speed_limited);
      record.clamped = flag(command.flags.clamped);
      record.watchdog = flag(command.flags.watchdog);
      record.reply_refused = flag(reply == CorvaneLink::Reply::bad);

      if (reply == CorvaneLink::Reply::good) {
        // The ramp counts from the first state there is to render, so a first reply that comes
        // late does not cut the ramp short.
        if (reply_cycle < 0) pipeline.restart_ramp(cycle);
        // The last good state stands for the arm until the next one.
        x = widened(position);
        v = widened(velocity);
        reply_cycle = static_cast<std::int64_t>(cycle);
        last_good = answered;
      } else if (reply == CorvaneLink::Reply::bad) {
        bad_replies.fetch_add(1, relaxed);
      }
      const bool device_lost =
          reply == CorvaneLink::Reply::hung_up || answered - last_good > lost_after_ns;
      record.position = x;
      record.velocity = v;
      record.connected = flag(!device_lost);
      publish(record, sum);
      ++cycle;
      // Release: state() reads the record published above once it sees the count.
      cycles.store(cycle, std::memory_order_release);

      if (device_lost) {
        if (!lose_device(answered)) {
          lost = true;
          break;
        }
        deadline = answered;
        continue;
      }
      deadline += period_ns;
      if (answered > deadline) {
        missed.fetch_add(1, relaxed);
        deadline = answered;
      }
    }

    if (!lost && connected.load(relaxed)) {
      // The reply awaited is the one to the zero, not one still on its way from before.
      link.drop_pending();
      const std::int64_t now = now_ns();
      Devices::Vector3 position{}, velocity{};
      if (link.send_force({0, 0, 0}, now + reply_wait_ns))
        link.receive_state(now + reply_wait_ns, position, velocity);
    }
    ended_ns.store(now_ns(), relaxed);
    stop_reason.store(lost      ? StopReason::device_lost
                      : gave_up ? StopReason::gave_up
                                : StopReason::stop);
    active.store(false, std::memory_order_release);
  }
};

ServoLoop::ServoLoop(IO::SerialStream* stream, const ServoSettings& settings)
    : impl(std::make_shared<Impl>(stream, settings)) {}

ServoLoop::~ServoLoop() {
  stop();
  // A thread stuck in an effect may keep this loop's state after the object goes, but it never
  // touches the stream again: the stream and its port go back to the application, which may
  // free them (and a claim or lock left on a freed stream would refuse whatever takes its place).
  std::lock_guard<std::mutex> hold(impl->lifecycle);
  impl->port_lock.release();
  impl->claim.release();
}

namespace {

// The wake-up exchange, tried again within the time allowed when a reply came cut short or
// garbled (or not at all within an attempt): a Corvane's device information, or false.
bool wake_corvane(CorvaneLink& link, std::int64_t deadline_ns, Devices::DeviceInfo& info) {
  for (;;) {
    const std::int64_t now = now_ns();
    if (now >= deadline_ns) return false;
    info = {};
    const CorvaneLink::Reply reply =
        link.wakeup(std::min(deadline_ns, now + wakeup_attempt_ns), info);
    if (reply == CorvaneLink::Reply::hung_up) return false;
    if (reply == CorvaneLink::Reply::good &&
        info.device_model_number == Devices::Corvane::model_number)
      return true;
    link.drop_pending();
  }
}

}  // namespace

StartResult ServoLoop::start() {
  Impl& loop = *impl;
  std::lock_guard<std::mutex> hold(loop.lifecycle);
  if (loop.settings.problem()) return StartResult::invalid_settings;
  if (loop.abandoned) return StartResult::effect_hung;
  if (loop.active.load()) return StartResult::already_running;
  loop.end_threads();  // a run that ended by itself
  if (loop.abandoned) return StartResult::effect_hung;

  const IO::serialib* port = loop.stream ? loop.stream->port() : nullptr;
  if (!port || port->fd < 0) return StartResult::not_open;
  loop.claim = StreamClaim::acquire(loop.stream);
  if (!loop.claim) return StartResult::stream_claimed;
  loop.port_lock = PortLock::take(port->fd);
  if (!loop.port_lock) {
    loop.let_go();
    return StartResult::port_locked;
  }
  if (loop.settings.guardian && !loop.guardian.start(port->fd, loop.stream->path())) {
    loop.let_go();
    return StartResult::no_guardian;
  }
  loop.link.attach(port->fd);
  loop.link_descriptor = port->fd;
  if (!wake_corvane(loop.link, now_ns() + wakeup_wait_ns, loop.info)) {
    loop.let_go();
    return StartResult::not_a_corvane;
  }

  loop.same_corvane.expect(loop.info.device_id_ext);
  loop.reset_measurements();
  loop.stop_requested.store(false);
  loop.supervisor_stop.store(false);
  loop.loop_returned.store(false);
  loop.render_mark.reset();
  const std::int64_t now = now_ns();
  loop.started_ns.store(now);
  loop.ended_ns.store(now);
  loop.fed_at_ns.store(now);
  loop.active.store(true);
  bool realtime = loop.settings.realtime;
  // The thread holds the loop's state alive: a thread stuck in an effect may outlive the
  // ServoLoop object.
  const std::function<void()> body = [self = impl] {
    self->run();
    // Release: whatever the thread did happens before the owner sees it returned.
    self->loop_returned.store(true, std::memory_order_release);
  };
  bool created =
      loop.thread.start_from_owner({"orvex-loop", loop_stack_size, realtime}, body) == 0;
  if (!created && realtime) {
    // Refused the real-time class: the loop runs in the normal one.
    realtime = false;
    created = loop.thread.start_from_owner({"orvex-loop", loop_stack_size, false}, body) == 0;
  }
  if (!created) {
    loop.active.store(false);
    loop.let_go();
    return StartResult::thread_failed;
  }
  // Above the loop, so that a law spinning at the loop's priority cannot starve it.
  const bool supervised =
      loop.supervisor.start_from_owner({"orvex-supervise", supervisor_stack_size, realtime, 1},
                                       [&loop] { loop.supervise(); }) == 0;
  if (!supervised) {
    // Release: pairs with the loop's acquire.
    loop.stop_requested.store(true, std::memory_order_release);
    loop.end_threads();
    loop.active.store(false);
    return StartResult::thread_failed;
  }
  loop.realtime_granted.store(realtime, relaxed);
  if (realtime && !loop.memory_locked.load(relaxed)) loop.memory_locked.store(lock_memory(), relaxed);
  return StartResult::started;
}

void ServoLoop::stop() {
  std::lock_guard<std::mutex> hold(impl->lifecycle);
  // Release: pairs with the loop's acquire.
  impl->stop_requested.store(true, std::memory_order_release);
  impl->end_threads();
  impl->recording.end();
}

StopReason ServoLoop::fault() const {
  if (impl->active.load(std::memory_order_acquire)) return StopReason::none;
  const StopReason reason = impl->stop_reason.load();
  return reason == StopReason::stop ? StopReason::none : reason;
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

AddResult ServoLoop::add(std::shared_ptr<Effect> effect, const std::string& name) {
  const Effect* added = effect.get();
  const AddResult result = impl->effects.add(std::move(effect));
  if (result == AddResult::added) {
    std::lock_guard<std::mutex> hold(impl->names_lock);
    impl->effect_names[added] = name;
  }
  return result;
}

bool ServoLoop::contains(const Effect* effect) const { return impl->effects.contains(effect); }

// A cycle stuck in an effect still reads the table: nothing may leave it, and waiting for that
// cycle to end would never return.
bool ServoLoop::remove(const Effect* effect) {
  if (impl->render_mark.taken_over() || !impl->effects.remove(effect)) return false;
  std::lock_guard<std::mutex> hold(impl->names_lock);
  impl->effect_names.erase(effect);
  return true;
}

void ServoLoop::clear() {
  if (impl->render_mark.taken_over()) return;
  impl->effects.clear();
  std::lock_guard<std::mutex> hold(impl->names_lock);
  impl->effect_names.clear();
}

void ServoLoop::mark(const std::string& label, const std::string& fields_json) {
  RecordMark mark;
  mark.label = label;
  mark.fields_json = fields_json;
  // The count read on both sides of the time: no cycle was published in between, so the cycle
  // counted began before the mark's time if it is under way, and the next one begins after it.
  for (std::uint64_t before = ~std::uint64_t{0};;) {
    // Acquire: pairs with the loop's release of the count.
    const std::uint64_t first = impl->cycles.load(std::memory_order_acquire);
    mark.time = now();
    const std::uint64_t second = impl->cycles.load(std::memory_order_acquire);
    if (first == second || second == before) {
      mark.index = second;
      break;
    }
    before = second;
  }
  impl->recording.mark(mark);
  std::lock_guard<std::mutex> hold(impl->marks_lock);
  if (impl->marks.size() == kept_marks) impl->marks.pop_front();
  impl->marks.push_back(std::move(mark));
}

std::optional<ServoState> ServoLoop::state() const {
  if (impl->cycles.load(std::memory_order_acquire) == 0) return std::nullopt;
  return impl->state.load();
}

bool ServoLoop::try_state(ServoState& state) const noexcept {
  return impl->cycles.load(std::memory_order_acquire) != 0 && impl->state.try_load(state);
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
  stats.clamped = loop.pipeline.clamped();
  stats.non_finite = loop.pipeline.non_finite();
  stats.watchdog_trips = loop.pipeline.watchdog_trips();
  stats.realtime = loop.realtime_granted.load(relaxed);
  stats.memory_locked = loop.memory_locked.load(relaxed);
  stats.bad_replies = loop.bad_replies.load(relaxed);
  stats.speed_limited = loop.pipeline.speed_limited();
  stats.reconnects = loop.reconnection.reconnects();
  stats.reconnect_refusal = loop.reconnection.last_refusal();
  stats.passivity_energy_j = loop.pipeline.passivity_energy_j();
  stats.passivity_cycles = loop.pipeline.passivity_cycles();
  stats.stop_reason = loop.stop_reason.load();
  stats.exchange_budget_us = 1e6 / loop.settings.rate_hz;
  const RecordTotals recorded = loop.recording.totals();
  stats.recorded = recorded.rows;
  stats.record_lost = recorded.lost;
  if (stats.cycles > 0 || active) stats.started = loop.started_ns.load(relaxed) / 1e9;
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
  const double first = copy.rows.empty() ? 0 : copy.rows.front().cycle;
  std::lock_guard<std::mutex> hold(impl->marks_lock);
  for (const RecordMark& mark : impl->marks)
    if (static_cast<double>(mark.index) >= first) copy.marks.push_back(mark);
  return copy;
}

int ServoLoop::record(const std::string& path, const RecordOptions& options) {
  const auto queue_rows =
      static_cast<std::size_t>(std::ceil(recording_queue_s * impl->settings.rate_hz));
  // The cycle's columns, then each effect's three, picked from the row the loop offers.
  std::vector<std::string> names(cycle_column_names().begin(), cycle_column_names().end());
  std::vector<std::uint16_t> picks;
  for (std::size_t column = 0; column < cycle_columns; ++column)
    picks.push_back(static_cast<std::uint16_t>(column));
  if (options.effects) {
    const std::array<const Effect*, EffectTable::capacity> held = impl->effects.held();
    std::lock_guard<std::mutex> hold(impl->names_lock);
    for (std::size_t slot = 0; slot < held.size(); ++slot) {
      if (!held[slot]) continue;
      const auto named = impl->effect_names.find(held[slot]);
      const std::string name = named != impl->effect_names.end() && !named->second.empty()
                                   ? named->second
                                   : "effect" + std::to_string(slot);
      for (const char* axis : {"_fx", "_fy", "_fz"}) names.push_back(name + axis);
      for (std::size_t i = 0; i < 3; ++i)
        picks.push_back(static_cast<std::uint16_t>(cycle_columns + 3 * slot + i));
    }
  }
  std::vector<const char*> columns;
  for (const std::string& name : names) columns.push_back(name.c_str());
  return impl->recording.begin(path, {columns.data(), columns.size(), picks.data()}, queue_rows,
                               "cycle");
}

std::optional<RecordResult> ServoLoop::stop_recording() { return impl->recording.end(); }

}  // namespace Orvex::HardwareAPI::Haptics
