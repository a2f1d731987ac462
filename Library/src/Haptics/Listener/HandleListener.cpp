#include "Haptics/HandleListener.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "Haptics/PortLock.h"
#include "Haptics/StreamClaim.h"
#include "HandleFramer.h"
#include "HandleInbox.h"
#include "HandleOutbox.h"
#include "IO/SerialStream.h"
#include "ListenerWakeup.h"
#include "ListeningHandle.h"
#include "../MonotonicClock.h"
#include "../Realtime/DeviceThread.h"
#include "../Reconnection/Reconnection.h"
#include "Device/HandleWire.h"
#include "../Recording/HandleRecordRow.h"
#include "Haptics/Clock.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

// How long a readiness wait lasts before the thread looks at its flags again; a command or a stop
// wakes it earlier.
constexpr int readiness_wait_ms = 50;

// Decoding takes little stack (the message is built in the listener's state); the default
// leaves room for sanitizer builds.
const DeviceThreadOptions listener_thread{"orvex-listener"};

// A recording's queue: seconds of messages at the fastest a handle line carries them.
constexpr std::size_t recording_queue_messages = 32768;
// How long the handle found at a reopened port has to answer its wake-up with the expected
// information reply.
constexpr std::int64_t adoption_wait_ns = 1'000'000'000;

// Bytes the port holds for reading; none when it cannot tell.
int pending_bytes(int port) {
  int pending = 0;
  return ::ioctl(port, FIONREAD, &pending) == 0 ? pending : 0;
}

// A readiness wait ends by the deadline of the message in progress, so that one that broke off
// is dropped on time.
int poll_timeout_ms(std::int64_t message_deadline_ns) {
  if (message_deadline_ns == 0) return readiness_wait_ms;
  const std::int64_t left_ms = (message_deadline_ns - monotonic_ns()) / 1000000 + 1;
  return static_cast<int>(std::clamp<std::int64_t>(left_ms, 0, readiness_wait_ms));
}

std::int64_t steady_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

struct HandleListener::State : DeviceIdentity {
  State(IO::SerialStream* stream, std::size_t queue_capacity, bool reconnect, double give_up_s)
      : stream(stream),
        reconnect(reconnect),
        requested_capacity(queue_capacity),
        inbox(queue_capacity),
        handle(stream, inbox),
        reconnection(give_up_s) {}

  void listen();
  // Receives until stop() (true) or until the handle is lost (false).
  bool listen_until_lost();
  // A reconnecting listener's wait: true once the same handle answered at the port's path and
  // its port took the stream's descriptor; false when stop() came first or the wait gave up.
  bool reopen();
  // A reopened port: its handle is adopted once its information reply names the handle known
  // before (any handle when none was); that reply is the first message delivered from it.
  bool identify(int port, std::int64_t deadline_ns, ReconnectRefusal& refusal) override;
  // Writes every queued command; the thread is between two messages whenever it calls this.
  void send_commands();
  // Takes every whole message the framer holds, and drops one that broke off.
  void take_messages();
  bool queue(const HandleCommand& command);

  IO::SerialStream* const stream;
  const bool reconnect;
  const std::size_t requested_capacity;  // as asked for: a listener of 0 never starts
  HandleInbox inbox;
  ListeningHandle handle;
  HandleFramer framer;
  HandleOutbox outbox{command_capacity};
  ListenerWakeup wakeup;
  HandleCommand sending;  // the command being written, off the thread's small stack

  std::atomic<bool> running{false};
  std::atomic<bool> stop_requested{false};
  std::atomic<HandleStopReason> stop_reason{HandleStopReason::none};
  Reconnection reconnection;
  bool gave_up = false;  // the thread's: the last reopen() gave up

  // Application side: one start or stop at a time.
  std::mutex control;
  StreamClaim claim;
  PortLock port_lock;
  DeviceThread thread;
};

void HandleListener::State::send_commands() {
  while (outbox.take(sending)) sending.send(handle);
}

void HandleListener::State::take_messages() {
  for (;;) {
    switch (framer.next(monotonic_ns())) {
      case HandleFramer::Next::message: {
        const std::size_t used = handle.take(framer.message(), framer.size(), framer.following());
        if (used == 0) {
          framer.await_following();
          return;
        }
        framer.put_back(framer.size() - used);
        break;
      }
      case HandleFramer::Next::unknown: inbox.count_unknown(); break;
      case HandleFramer::Next::broken_off: inbox.count_refused(); break;
      case HandleFramer::Next::wait: return;
    }
  }
}

bool HandleListener::State::queue(const HandleCommand& command) {
  if (!outbox.put(command)) return false;
  wakeup.signal();
  return true;
}

void HandleListener::State::listen() {
  HandleStopReason reason = HandleStopReason::stop;
  while (!listen_until_lost()) {
    if (!reconnect) {
      reason = HandleStopReason::device_lost;
      break;
    }
    if (!reopen()) {
      if (gave_up) reason = HandleStopReason::gave_up;
      break;
    }
  }
  stop_reason.store(reason);
  running.store(false);
  inbox.wake_readers();
}

bool HandleListener::State::reopen() {
  const int port = stream->port() ? stream->port()->fd : -1;
  if (port < 0) return false;
  reconnection.lost_from_owner(monotonic_ns());
  gave_up = false;
  pollfd woken{wakeup.fd(), POLLIN, 0};
  for (;;) {
    if (stop_requested.load()) return false;
    if (::poll(&woken, 1, Reconnection::attempt_period_ns / 1'000'000) > 0) wakeup.clear();
    if (stop_requested.load()) return false;
    switch (reconnection.attempt_from_owner(stream->path(), port, *this, adoption_wait_ns)) {
      case Reconnection::Attempt::adopted:
        // The port is new: what made the stream fail is gone with the old one.
        stream->clear();
        return true;
      case Reconnection::Attempt::gave_up:
        gave_up = true;
        return false;
      case Reconnection::Attempt::waiting: break;
    }
  }
}

bool HandleListener::State::identify(int port, std::int64_t deadline_ns,
                                     ReconnectRefusal& refusal) {
  // Any message the old port left unfinished is gone with it.
  framer.clear();
  handle.await_same_handle();
  const std::uint8_t wake = Devices::HandleWire::wakeup_code;
  if (::write(port, &wake, 1) != 1) {
    refusal.say("the wake-up could not be written");
    return false;
  }
  pollfd watched[2] = {{port, POLLIN, 0}, {wakeup.fd(), POLLIN, 0}};
  for (;;) {
    const std::int64_t now = monotonic_ns();
    if (stop_requested.load() || now >= deadline_ns) break;
    const std::int64_t message_deadline = framer.deadline_ns();
    const std::int64_t until = message_deadline ? std::min(message_deadline, deadline_ns)
                                                : deadline_ns;
    watched[0].revents = watched[1].revents = 0;
    if (::poll(watched, 2, static_cast<int>((until - now) / 1'000'000 + 1)) < 0 && errno != EINTR)
      break;
    if (watched[1].revents & POLLIN) wakeup.clear();
    if (watched[0].revents & (POLLIN | POLLHUP | POLLERR) &&
        framer.read_from(port, monotonic_ns()) == HandleFramer::Read::hung_up) {
      refusal.say("the port hung up before an information reply");
      return false;
    }
    take_messages();
    if (!handle.on_probation()) return true;
  }
  std::uint16_t other = 0;
  if (handle.other_handle_answered(other))
    refusal.say("another handle, device id %u", unsigned{other});
  else
    refusal.say("no information reply to the wake-up");
  return false;
}

bool HandleListener::State::listen_until_lost() {
  const int port = stream->port() ? stream->port()->fd : -1;
  pollfd watched[2] = {{port, POLLIN, 0}, {wakeup.fd(), POLLIN, 0}};
  for (;;) {
    send_commands();
    if (stop_requested.load()) return true;
    // A stream that failed to open or whose write failed is spent.
    if (port < 0 || !stream->good()) return false;

    watched[0].revents = watched[1].revents = 0;
    if (::poll(watched, 2, poll_timeout_ms(framer.deadline_ns())) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (watched[1].revents & POLLIN) wakeup.clear();
    // A port that hung up may still hold what came before; once that is read, it is gone.
    const bool hung_up = watched[0].revents & (POLLHUP | POLLERR | POLLNVAL);
    if (hung_up && pending_bytes(port) == 0) return false;
    if ((watched[0].revents & POLLIN || hung_up) &&
        framer.read_from(port, monotonic_ns()) == HandleFramer::Read::hung_up)
      return false;
    take_messages();
  }
}

HandleListener::HandleListener(IO::SerialStream* stream, std::size_t queue_capacity,
                               bool reconnect, double give_up_s)
    : state(new State(stream, queue_capacity, reconnect, give_up_s)) {}

HandleListener::~HandleListener() { stop(); }

const char* HandleListener::capacity_problem(std::size_t queue_capacity) {
  return queue_capacity == 0 ? "queue_capacity must be at least 1" : nullptr;
}

StartResult HandleListener::start() {
  std::lock_guard<std::mutex> hold(state->control);
  if (state->running.load()) return StartResult::started;
  if (capacity_problem(state->requested_capacity)) return StartResult::invalid_settings;
  // A thread that ended by itself (device lost) is finished; collect it before the next one.
  state->thread.join_from_owner();
  state->port_lock.release();
  state->claim.release();
  state->claim = StreamClaim::acquire(state->stream);
  if (!state->claim) return StartResult::stream_claimed;
  const IO::serialib* port = state->stream->port();
  if (port && port->fd >= 0) {
    state->port_lock = PortLock::take(port->fd);
    if (!state->port_lock) {
      state->claim.release();
      return StartResult::port_locked;
    }
  }

  state->stop_requested.store(false);
  state->stop_reason.store(HandleStopReason::none);
  // A message the last run left unfinished has long broken off.
  state->framer.clear();
  state->running.store(true);
  State* listening = state.get();
  const bool created =
      state->thread.start_from_owner(listener_thread, [listening] { listening->listen(); }) == 0;
  if (!created) {
    state->running.store(false);
    state->port_lock.release();
    state->claim.release();
    return StartResult::thread_failed;
  }
  return StartResult::started;
}

void HandleListener::stop() {
  std::lock_guard<std::mutex> hold(state->control);
  if (!state->thread.started()) return;
  state->stop_requested.store(true);
  state->wakeup.signal();
  state->thread.join_from_owner();
  state->port_lock.release();
  state->claim.release();
  state->inbox.recording.end();
}

bool HandleListener::running() const { return state->running.load(); }

std::size_t HandleListener::queue_capacity() const { return state->inbox.capacity(); }

bool HandleListener::wakeup() {
  HandleCommand command;
  command.kind = HandleCommand::Kind::wakeup;
  return state->queue(command);
}

bool HandleListener::request_status() {
  HandleCommand command;
  command.kind = HandleCommand::Kind::status_request;
  return state->queue(command);
}

bool HandleListener::send_state(std::uint16_t device_id, std::uint8_t data_length,
                                const std::uint8_t* user_data) {
  HandleCommand command;
  command.kind = HandleCommand::Kind::state;
  command.device_id = device_id;
  command.data_length = data_length;
  if (data_length > 0) std::memcpy(command.user_data, user_data, data_length);
  return state->queue(command);
}

bool HandleListener::latest(HandleMessage& status) const {
  return state->inbox.latest_status(status);
}

bool HandleListener::info(HandleMessage& info) const { return state->inbox.latest_info(info); }

bool HandleListener::take(HandleMessage& message) { return state->inbox.take(message); }

bool HandleListener::wait_for_message(std::chrono::nanoseconds timeout) {
  return state->inbox.wait(timeout, [this] { return !state->running.load(); });
}

HandleListenerStats HandleListener::stats() const {
  HandleListenerStats stats = state->inbox.counts(steady_ms());
  stats.reconnects = state->reconnection.reconnects();
  stats.reconnect_refusal = state->reconnection.last_refusal();
  stats.stop_reason = state->stop_reason.load();
  const RecordTotals recorded = state->inbox.recording.totals();
  stats.recorded = recorded.rows;
  stats.record_lost = recorded.lost;
  return stats;
}

void HandleListener::link_orientation(std::shared_ptr<Shape> shape, const Quaternion& offset) {
  state->inbox.orientation_link.link(std::move(shape), offset);
}

void HandleListener::unlink_orientation() { state->inbox.orientation_link.unlink(); }

std::shared_ptr<Shape> HandleListener::orientation_linked() const {
  return state->inbox.orientation_link.linked();
}

int HandleListener::record(const std::string& path) {
  return state->inbox.recording.begin(path, {handle_record_names, handle_record_columns},
                                      recording_queue_messages, "message");
}

void HandleListener::mark(const std::string& label, const std::string& fields_json) {
  RecordMark mark;
  mark.time = now();
  mark.index = state->inbox.put_count();
  mark.label = label;
  mark.fields_json = fields_json;
  state->inbox.recording.mark(mark);
}

std::optional<RecordResult> HandleListener::stop_recording() {
  return state->inbox.recording.end();
}

}  // namespace Orvex::HardwareAPI::Haptics
