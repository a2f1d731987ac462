#pragma once

namespace Orvex::HardwareAPI::Haptics {

// Why a thread that owns a device (a servo loop, a handle listener) did or did not start. One
// family for both, so that one mapping words every refusal; each owner documents which of these
// its start() gives.
enum class StartResult {
  started,
  invalid_settings,   // see ServoSettings::problem(), HandleListener::capacity_problem()
  already_running,
  stream_claimed,     // another loop or listener runs on this stream
  not_a_corvane,      // the wake-up got no device-information reply with model 4
  thread_failed,      // the system would not start the thread
  not_open,           // the stream's port did not open: SerialStream::open_error() says why
  effect_hung,        // an earlier run's effect never returned: this loop and its stream are
                      // done with
  port_locked,        // a loop or listener elsewhere holds the port (PortLock::holder() says who)
  no_guardian,        // the guardian could not be started: Guardian::problem() says why
};

}  // namespace Orvex::HardwareAPI::Haptics
