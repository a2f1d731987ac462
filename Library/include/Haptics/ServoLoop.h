#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Devices/Corvane.h"
#include "Haptics/CycleRecord.h"
#include "Haptics/Effect.h"
#include "Haptics/RecordMark.h"
#include "Haptics/RecordResult.h"
#include "Haptics/StartResult.h"
#include "IO/SerialStream.h"

namespace Orvex::HardwareAPI::Haptics {

// The settings' defaults are the defaults of every binding: the Python module gives them as
// SERVO_DEFAULTS and takes them from here.
struct ServoSettings {
  double rate_hz = 1000.0;          // in [1, 10000]
  double max_force = 10.0;          // positive and at most the largest float32; longer forces
                                    // are shortened to it
  double watchdog_s = 0.1;          // not negative; 0 turns the watchdog off
  std::size_t trace_capacity = 0;   // cycles kept for trace(); 0 keeps none
  bool realtime = true;             // ask for a real-time class for the loop thread; a refusal
                                    // is no error (ServoStats::realtime says which)
  double ramp_s = 0.25;             // the force fades in over this long; 0: no ramp
  std::optional<double> max_force_step;  // N between two cycles' commands, positive; none: no
                                         // limit
  std::optional<double> max_speed;  // m/s above which zero is commanded, positive; none: no limit
  double lost_after_s = 0.25;       // no good reply for this long: the device is lost
  bool reconnect = false;           // wait for a lost device to come back instead of stopping
  std::optional<double> give_up_s;  // with reconnect: stop waiting this long after the loss
                                    // (StopReason::gave_up), positive; none: wait until stop()
  bool passivity = false;           // damp away energy the rendering creates
  bool guardian = true;             // a guardian process commands zero force if this process
                                    // ends while the loop runs (see Haptics/Guardian.h)

  // Why these settings cannot run a loop ("rate_hz must be in [1, 10000]", ...), or null.
  const char* problem() const;
};

enum class StopReason { none, stop, device_lost, effect_hung, gave_up };
// "stop", "device lost", "effect hung", "gave up reconnecting"; null for none.
const char* stop_reason_text(StopReason reason);

// The last cycle as state() gives it, and a trace row: the one cycle record (CycleRecord.h).
using ServoState = CycleRecord;
using TraceRow = CycleRecord;
constexpr std::size_t trace_columns = cycle_columns;

struct ServoStats {
  std::uint64_t cycles = 0;
  double rate_hz = 0;               // cycles per second since the start
  std::uint64_t missed = 0;         // cycles that ended after the next one's deadline
  double late_p50_us = 0, late_p99_us = 0, late_max_us = 0;  // wake-up after the deadline
  double exchange_p50_us = 0, exchange_p99_us = 0, exchange_max_us = 0;
  std::uint64_t clamped = 0;        // forces shortened to max_force
  std::uint64_t non_finite = 0;     // cycles that sent zero instead of a non-finite force
  std::uint64_t watchdog_trips = 0;
  bool realtime = false;            // the loop thread got the real-time class it asked for
  bool memory_locked = false;       // the process's memory is locked (see start())
  std::uint64_t bad_replies = 0;    // replies out of step, cut short or impossible
  std::uint64_t speed_limited = 0;  // cycles that commanded zero above max_speed
  std::uint64_t reconnects = 0;     // times a lost device came back and was adopted
  // What answered at the port's path at the last reconnection attempt that adopted nothing, and
  // why ("another Corvane, UUID ..."); empty when none since the start.
  std::string reconnect_refusal;
  double passivity_energy_j = 0;    // energy the rendering took from the arm, as observed
  std::uint64_t passivity_cycles = 0;  // cycles in which the passivity controller damped
  StopReason stop_reason = StopReason::none;
  double exchange_budget_us = 0;    // the period: an exchange that takes longer misses deadlines
  std::uint64_t recorded = 0;       // rows of the running (else the last) recording in its file
  std::uint64_t record_lost = 0;    // rows of it that did not make it into the file
  double started = 0;               // the run's start on the layer's clock (now()); 0 before
};

// Every statistic with its name, in the order bindings show them: the one list of the keys.
// visit(name, value) is called once for each, value of the member's own type.
template <class Stats, class Visit>
void visit_stats(Stats& stats, Visit&& visit) {
  visit("cycles", stats.cycles);
  visit("rate_hz", stats.rate_hz);
  visit("missed", stats.missed);
  visit("late_p50_us", stats.late_p50_us);
  visit("late_p99_us", stats.late_p99_us);
  visit("late_max_us", stats.late_max_us);
  visit("exchange_p50_us", stats.exchange_p50_us);
  visit("exchange_p99_us", stats.exchange_p99_us);
  visit("exchange_max_us", stats.exchange_max_us);
  visit("clamped", stats.clamped);
  visit("non_finite", stats.non_finite);
  visit("watchdog_trips", stats.watchdog_trips);
  visit("realtime", stats.realtime);
  visit("memory_locked", stats.memory_locked);
  visit("bad_replies", stats.bad_replies);
  visit("speed_limited", stats.speed_limited);
  visit("reconnects", stats.reconnects);
  visit("reconnect_refusal", stats.reconnect_refusal);
  visit("passivity_energy_j", stats.passivity_energy_j);
  visit("passivity_cycles", stats.passivity_cycles);
  visit("stop_reason", stats.stop_reason);
  visit("exchange_budget_us", stats.exchange_budget_us);
  visit("recorded", stats.recorded);
  visit("record_lost", stats.record_lost);
  visit("started", stats.started);
}

// Every setting with its name, likewise.
template <class Settings, class Visit>
void visit_settings(Settings& settings, Visit&& visit) {
  visit("rate_hz", settings.rate_hz);
  visit("max_force", settings.max_force);
  visit("watchdog_s", settings.watchdog_s);
  visit("trace_capacity", settings.trace_capacity);
  visit("realtime", settings.realtime);
  visit("ramp_s", settings.ramp_s);
  visit("max_force_step", settings.max_force_step);
  visit("max_speed", settings.max_speed);
  visit("lost_after_s", settings.lost_after_s);
  visit("reconnect", settings.reconnect);
  visit("give_up_s", settings.give_up_s);
  visit("passivity", settings.passivity);
  visit("guardian", settings.guardian);
}

// A copy of trace rows, how many rows that were asked for the ring had overwritten first, and
// the marks tied to the cycles copied (those from the first row's cycle on).
struct TraceCopy {
  std::vector<TraceRow> rows;
  std::uint64_t overwritten = 0;
  std::vector<RecordMark> marks;
};

// What record() writes beyond the cycle's columns.
struct RecordOptions {
  // Three columns for each effect in the loop when the recording starts, in the order of their
  // places in the loop (the order they were added, unless one took a removed one's place): its
  // force as rendered (its own fade-in included), before the loop's passivity,
  // ramp and limits, named by the name it was added with (see add()) and _fx, _fy, _fz. An
  // effect added later is in the force column only; one removed records zeros from then on.
  bool effects = false;
};

// A fixed-rate force loop for one Corvane, on a thread of its own that alone talks to the arm.
// Each cycle sends one end-effector force: the sum of the effects plus the application's force,
// computed from the previous reply (the first cycle sends zero), with passivity the damping that
// keeps the rendering from creating energy added to it, shortened to max_force with its
// direction kept; a force that is not finite is never sent (zero instead, counted). Deadlines are
// absolute; a cycle that ends past the next deadline is counted and the schedule starts afresh
// from then instead of catching up.
//
// The force pipeline, each cycle: effects + application force -> passivity -> ramp -> step
// limit -> speed limit -> clamp -> non-finite check -> send. The ramp fades the force in over ramp_s after
// start(), after the watchdog clears and after a reconnection; an effect added while running
// fades in on its own.
//
// The loop has its own exchange path (not the device class's blocking exchange): each reply is
// awaited until a deadline, a reply out of step or cut short is dropped with whatever is pending
// and counted (bad_replies), as is one whose values no arm gives; the cycle then holds the last
// good state. The device is lost when the port hangs up, a write fails, or no good reply came for
// lost_after_s; the loop then makes one last attempt to command zero force, and stops
// (StopReason::device_lost) or, with reconnect, waits for the same Corvane to come back at the
// port's path (the same UUID), giving up after give_up_s when set (StopReason::gave_up).
//
// Safety: when the application has neither set its force nor fed the watchdog for watchdog_s,
// the loop commands zero (effects too) at once until fed again. stop() ends with one exchange
// commanding zero force; when the process ends without it, the guardian (settings.guardian)
// commands zero. While it runs, the loop holds its port's lock (PortLock). A supervisor thread
// watches the effects' code: a cycle still in it after watchdog_s (1 s when the watchdog is off)
// has the arm taken from it, zero commanded at once by the supervisor, and its force never sent;
// the run ends as StopReason::effect_hung, and stop() returns within a second whatever the
// effect does. The stuck thread is let go of (at the lowest priority); the stream stays claimed
// by this loop, with its port's lock and its guardian, and the loop never starts again. Its
// destructor gives the stream and the port's lock back; the guardian goes with the stuck thread.
//
// Every method may be called from any thread while the loop runs; start() and stop() are
// serialised with each other. None waits for the loop except start() (its wake-up exchange) and
// stop() (the join, prompt at any rate). The loop thread blocks every signal, never allocates,
// throws, or takes a lock the application holds. Nothing here throws.
class ServoLoop {
 public:
  static constexpr std::size_t max_effects = 32;
  static constexpr double max_rate_hz = 10000.0;

  // The loop talks to the Corvane on the stream, which must outlive the loop.
  ServoLoop(IO::SerialStream* stream, const ServoSettings& settings);
  ~ServoLoop();  // stops
  ServoLoop(const ServoLoop&) = delete;
  ServoLoop& operator=(const ServoLoop&) = delete;

  // Claims the stream, locks its port, starts the guardian, wakes the arm, then starts the
  // thread; anything but started leaves nothing running. Counters, the rate and the state's cycle start again from zero. When the
  // real-time class is granted and the process may lock all its memory (an unlimited memlock
  // limit), the process's memory is locked, current and future, so no page fault delays a cycle.
  StartResult start();
  // Idempotent: ends the loop (zero force sent unless the device was lost), joins its thread,
  // stands the guardian down and unlocks the port.
  void stop();
  bool running() const;
  // Why the last run ended by itself, device_lost, effect_hung or gave_up, until the next start; none
  // while running and before the first start.
  StopReason fault() const;

  const ServoSettings& settings() const;
  // The wake-up reply of the last start.
  const Devices::DeviceInfo& info() const;

  // The application's force, added to the effects; false for a non-finite force (unchanged).
  // Setting it feeds the watchdog.
  bool set_force(const Vector3d& force);
  Vector3d force() const;
  void feed();

  // Renders the effect from the next cycle on, unless the result says why not. The name heads
  // its columns in a recording of effects (see RecordOptions); "effect" and its place when empty.
  AddResult add(std::shared_ptr<Effect> effect, const std::string& name = {});
  bool contains(const Effect* effect) const;
  // false when the effect was not added. After an effect hung, remove() and clear() leave the
  // effects be (the stuck cycle may still read them) and remove() returns false.
  bool remove(const Effect* effect);
  void clear();

  // Puts a timestamped event into the trace and the running recording's sidecar, tied to the
  // first cycle published after it. fields_json: a JSON object's text, or empty. Application
  // threads; it takes a lock the loop never does.
  void mark(const std::string& label, const std::string& fields_json = {});

  // The last cycle, or nothing before the first. Its `connected` is 0 from the cycle that found
  // the device lost until one after it came back.
  std::optional<ServoState> state() const;
  // The last cycle without waiting, for another loop's thread: false before the first, or when
  // a cycle was being published during every attempt.
  bool try_state(ServoState& state) const noexcept;
  IO::SerialStream* stream() const;
  ServoStats stats() const;

  std::size_t trace_capacity() const;
  // Copies up to trace_capacity() rows, oldest first, into rows; returns how many. The loop
  // runs on meanwhile.
  std::size_t copy_trace(TraceRow* rows) const;
  // This run's rows after cycle after_cycle (all it still holds when none is given), oldest
  // first, at a cost in proportion to the rows copied.
  TraceCopy trace(std::optional<std::uint64_t> after_cycle = std::nullopt) const;

  // Writes every cycle from now on as a trace row to path (.csv or .npy), from a writer thread
  // of its own that a lock-free queue of several seconds feeds: the loop never waits on the
  // disk, and a row that does not make it into the file is counted, never silently gone.
  // A recording begun before start() has the first cycle; stop_recording() or stop() ends it.
  // Returns 0, EBUSY when recording already, EINVAL for a path ending in neither .csv nor .npy,
  // or the errno value that kept the file from being made.
  int record(const std::string& path, const RecordOptions& options = {});
  // Ends the recording (stop() does too) and gives its totals; the last recording's when none
  // runs, nothing before the first.
  std::optional<RecordResult> stop_recording();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl;
};

}  // namespace Orvex::HardwareAPI::Haptics
