#include "Haptics/HandleListener.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "Haptics/PortLock.h"
#include "Haptics/StreamClaim.h"
#include "HandleFramer.h"
#include "HandleInbox.h"
#include "HandleOutbox.h"
#include "IO/PortSetup.h"
#include "IO/SerialStream.h"
#include "ListenerWakeup.h"
#include "ListeningHandle.h"
#include "../MonotonicClock.h"
#include "../Recording/HandleRecordRow.h"
#include "Haptics/Clock.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

// How long a readiness wait lasts before the thread looks at its flags again; a command or a stop
// wakes it earlier.
constexpr int readiness_wait_ms = 50;

// A recording's queue: seconds of messages at the fastest a handle line carries them.
constexpr std::size_t recording_queue_messages = 32768;
// How often a reconnecting listener looks for its port again, and how long the handle found
// there has to answer its wake-up with the expected information reply.
constexpr int reopen_poll_ms = 100;
constexpr std::int64_t adoption_wait_ms = 1000;

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

struct HandleListener::State {
  State(IO::SerialStream* stream, std::size_t queue_capacity, bool reconnect)
      : stream(stream), reconnect(reconnect), requested_capacity(queue_capacity),
        inbox(queue_capacity), handle(stream, inbox) {}

  void listen();
  // Receives until stop() (true) or until the handle is lost (false).
  bool listen_until_lost();
  // A reconnecting listener's wait: true once the port's path opened again and took the
  // stream's descriptor, false when stop() came first.
  bool reopen();
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
  HandleOutbox<command_capacity> outbox;
  ListenerWakeup wakeup;
  HandleCommand sending;  // the command being written, off the thread's small stack

  std::atomic<bool> running{false};
  std::atomic<bool> stop_requested{false};
  std::atomic<HandleStopReason> stop_reason{HandleStopReason::none};
  std::atomic<std::uint64_t> reconnects{0};  // relaxed: a figure of its own

  // Application side: one start or stop at a time.
  std::mutex control;
  StreamClaim claim;
  PortLock port_lock;
  bool port_locked = false;  // by another holder, at the last start
  std::thread thread;
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
        if (handle.adopted()) reconnects.fetch_add(1, std::memory_order_relaxed);
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
    if (!reopen()) break;
  }
  stop_reason.store(reason);
  running.store(false);
  inbox.wake_readers();
}

bool HandleListener::State::reopen() {
  const int port = stream->port() ? stream->port()->fd : -1;
  if (port < 0) return false;
  pollfd woken{wakeup.fd(), POLLIN, 0};
  for (;;) {
    if (stop_requested.load()) return false;
    if (::poll(&woken, 1, reopen_poll_ms) > 0) wakeup.clear();
    if (stop_requested.load()) return false;
    const int reopened = IO::open_serial_port(stream->path().c_str());
    if (reopened < 0) continue;
    // dup2 puts the new port behind the stream's descriptor in one step.
    const bool taken = ::dup2(reopened, port) == port;
    ::close(reopened);
    if (!taken) continue;
    // The port is new: what made the stream fail is gone with the old one, and so is any
    // message the old one left unfinished.
    stream->clear();
    framer.clear();
    handle.await_same_handle();
    handle.SendDeviceWakeup();
    return true;
  }
}

bool HandleListener::State::listen_until_lost() {
  const int port = stream->port() ? stream->port()->fd : -1;
  pollfd watched[2] = {{port, POLLIN, 0}, {wakeup.fd(), POLLIN, 0}};
  const std::int64_t adoption_deadline = steady_ms() + adoption_wait_ms;
  for (;;) {
    // Commands wait until the handle on a reopened port has shown it is the one they are for.
    if (!handle.on_probation()) send_commands();
    if (stop_requested.load()) return true;
    // A stream that failed to open or whose write failed is spent.
    if (port < 0 || !stream->good()) return false;
    if (handle.on_probation() && steady_ms() > adoption_deadline) return false;

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
                               bool reconnect)
    : state(new State(stream, queue_capacity, reconnect)) {}

HandleListener::~HandleListener() { stop(); }

const char* HandleListener::capacity_problem(std::size_t queue_capacity) {
  return queue_capacity == 0 ? "queue_capacity must be at least 1" : nullptr;
}

bool HandleListener::start() {
  std::lock_guard<std::mutex> hold(state->control);
  if (state->running.load()) return true;
  if (capacity_problem(state->requested_capacity)) return false;
  // A thread that ended by itself (device lost) is finished; collect it before the next one.
  if (state->thread.joinable()) state->thread.join();
  state->port_lock.release();
  state->claim.release();
  state->port_locked = false;
  state->claim = StreamClaim::acquire(state->stream);
  if (!state->claim) return false;
  const IO::serialib* port = state->stream->port();
  if (port && port->fd >= 0) {
    state->port_lock = PortLock::take(port->fd);
    state->port_locked = !state->port_lock;
    if (state->port_locked) {
      state->claim.release();
      return false;
    }
  }

  state->stop_requested.store(false);
  state->stop_reason.store(HandleStopReason::none);
  // A message the last run left unfinished has long broken off.
  state->framer.clear();
  state->running.store(true);
  // The thread starts with every signal blocked (a new thread inherits the mask): a signal meant
  // for the application is never handled on the listener's time.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  bool created = true;
  try {
    state->thread = std::thread(&State::listen, state.get());
  } catch (const std::system_error&) {
    created = false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!created) {
    state->running.store(false);
    state->port_lock.release();
    state->claim.release();
  }
  return created;
}

void HandleListener::stop() {
  std::lock_guard<std::mutex> hold(state->control);
  if (!state->thread.joinable()) return;
  state->stop_requested.store(true);
  state->wakeup.signal();
  state->thread.join();
  state->port_lock.release();
  state->claim.release();
  state->inbox.recording.end();
}

bool HandleListener::running() const { return state->running.load(); }

bool HandleListener::port_locked() const {
  std::lock_guard<std::mutex> hold(state->control);
  return state->port_locked;
}

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
  stats.reconnects = state->reconnects.load(std::memory_order_relaxed);
  stats.stop_reason = state->stop_reason.load();
  const RecordTotals recorded = state->inbox.recording.totals();
  stats.recorded = recorded.rows;
  stats.record_lost = recorded.lost;
  return stats;
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
