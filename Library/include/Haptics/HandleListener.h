#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Haptics/HandleMessage.h"
#include "Haptics/RecordResult.h"
#include "Haptics/Shape.h"
#include "Haptics/StartResult.h"

namespace Orvex::HardwareAPI::IO {
class SerialStream;
}

namespace Orvex::HardwareAPI::Haptics {

// Why a listener's thread ended.
enum class HandleStopReason : std::uint8_t {
  none,         // it has not stopped since it last started (or never started)
  stop,         // stop() was called
  device_lost,  // a message broke off, the port hung up, or the stream was spent
  gave_up,      // a reconnecting listener waited give_up_s for its handle in vain
};

struct HandleListenerStats {
  std::uint64_t messages = 0;  // status, information and error messages decoded
  std::uint64_t status = 0;
  std::uint64_t info = 0;
  std::uint64_t errors = 0;
  std::uint64_t unknown = 0;  // header codes that are no handle message
  std::uint64_t refused = 0;  // messages cut short, or whose values no handle sends
  std::uint64_t reconnects = 0;  // times a lost handle came back and was adopted
  // What answered at the port's path at the last reconnection attempt that adopted nothing, and
  // why ("another handle, device id 7"); empty when none.
  std::string reconnect_refusal;
  std::uint64_t dropped = 0;  // queued messages lost to a full queue, oldest first
  double rate_hz = 0.0;       // status messages over the last second
  HandleStopReason stop_reason = HandleStopReason::none;
  std::uint64_t recorded = 0;     // messages of the running (else the last) recording in its file
  std::uint64_t record_lost = 0;  // messages of it that did not make it into the file
};


// Receives every message of a handle on a thread of its own, so that the application never
// waits on the port and a handle that streams is read as fast as it sends.
//
// The thread owns the stream while it runs: it waits for the port to become readable and reads
// what it holds, never waiting for the rest of a message, so an idle handle costs no processor
// time and a message cut short costs itself: one that does not complete within 0.1 s of its
// first byte breaks off and is dropped. The listener stops with the reason device_lost when the
// port hangs up or a write fails. Commands are queued by the application and written by the
// thread as soon as it wakes.
//
// A message that broke off, or whose values no handle sends (a quaternion far from unit length,
// a device id other than the information reply's, a status whose user data holds a whole status
// of the same handle), is refused and counted, not delivered.
//
// Decoded messages go into a queue of fixed capacity, allocated at construction; when it is full
// the oldest message is dropped and counted. The latest status and the latest information reply
// are kept apart, so the queue never loses them. The application side hands over through
// lock-free slots: the thread never waits for the application.
//
// Nothing here throws; results are return values.
class HandleListener {
 public:
  static constexpr std::size_t default_queue_capacity = 1024;
  // Commands waiting to be written; more are refused until the thread catches up.
  static constexpr std::size_t command_capacity = 64;

  // The stream must outlive the listener. A capacity of 0 is refused: such a listener never
  // starts (capacity_problem() says why). With reconnect, a lost
  // handle is waited for: the port's path is opened again until a handle answers there with the
  // device id of the last information reply (any handle when none came), whose messages are
  // then received again; a handle with another id is not adopted. With give_up_s above 0 the
  // wait ends that long after the loss (HandleStopReason::gave_up).
  explicit HandleListener(IO::SerialStream* stream,
                          std::size_t queue_capacity = default_queue_capacity,
                          bool reconnect = false, double give_up_s = 0);
  ~HandleListener();  // stops the thread
  HandleListener(const HandleListener&) = delete;
  HandleListener& operator=(const HandleListener&) = delete;

  // Claims the stream, locks its port and starts the thread: started, also when it ran already;
  // invalid_settings when the queue's capacity cannot be (capacity_problem() says why),
  // stream_claimed when another servo loop or listener owns the stream, port_locked when one
  // elsewhere holds the port's lock, thread_failed when the thread could not be made.
  // Restarting after a stop keeps the counters and the queue, and counts time from the new start.
  StartResult start();
  // Why a queue of this capacity cannot be, or null.
  static const char* capacity_problem(std::size_t queue_capacity);
  // Ends the thread, unlocks the port and releases the stream; does nothing when it does not run.
  void stop();
  bool running() const;
  std::size_t queue_capacity() const;

  // Each queues one command for the thread and returns at once: false when the command queue is
  // full. user_data must hold data_length bytes.
  bool wakeup();
  bool request_status();
  bool send_state(std::uint16_t device_id, std::uint8_t data_length, const std::uint8_t* user_data);

  // The latest status message or information reply: false when none has arrived.
  bool latest(HandleMessage& status) const;
  bool info(HandleMessage& info) const;

  // Takes the oldest queued message: false when the queue is empty.
  bool take(HandleMessage& message);
  // Waits until a message is queued, the thread stops, or the timeout passes: true when a message
  // is queued.
  bool wait_for_message(std::chrono::nanoseconds timeout);

  HandleListenerStats stats() const;

  // From each status message on, the listener's thread sets the shape's orientation to offset ·
  // the message's quaternion, before the message is handed on (replacing any shape linked
  // before; null unlinks). unlink_orientation() returns once the thread no longer touches it.
  void link_orientation(std::shared_ptr<Shape> shape, const Quaternion& offset = {1, 0, 0, 0});
  void unlink_orientation();
  std::shared_ptr<Shape> orientation_linked() const;

  // Writes every message from now on, with its time and number, to path (.csv or .npy) from a
  // writer thread of its own, as ServoLoop::record does (same answers); stop() ends it.
  int record(const std::string& path);
  // Puts a timestamped event into the running recording's sidecar, tied to the first message
  // received after it (see ServoLoop::mark).
  void mark(const std::string& label, const std::string& fields_json = {});
  std::optional<RecordResult> stop_recording();

 private:
  struct State;
  const std::unique_ptr<State> state;
};

}  // namespace Orvex::HardwareAPI::Haptics
