#pragma once

// A handle listener as Python holds it: while its thread runs it is on the list that interpreter
// exit stops, so no listener thread outlives Python.

#include <pybind11/pybind11.h>

#include <stdexcept>

#include "Haptics/HandleListener.h"
#include "StopAtExit.h"

namespace Orvex::HardwareAPI::Python {

class ExitSafeHandleListener : public Haptics::HandleListener {
 public:
  ExitSafeHandleListener(IO::SerialStream* stream, std::size_t queue_capacity, bool reconnect,
                         double give_up_s)
      : HandleListener(stream, queue_capacity, reconnect, give_up_s), port_stream(stream) {}
  ~ExitSafeHandleListener() { forget_at_exit(this); }

  // self: the Python object that holds this listener. Raises RuntimeError once interpreter exit
  // has begun. With the interpreter lock held, which exit holds while it closes the gate.
  Haptics::StartResult start(pybind11::handle self) {
    BeforeExit gate;
    if (!gate) throw std::runtime_error(exiting_refusal);
    const Haptics::StartResult result = HandleListener::start();
    if (result == Haptics::StartResult::started)
      stop_at_exit(self, this,
                   [](void* owner) { static_cast<ExitSafeHandleListener*>(owner)->stop(); });
    return result;
  }

  void stop() {
    forget_at_exit(this);
    HandleListener::stop();
  }

  const IO::SerialStream& stream() const { return *port_stream; }

 private:
  IO::SerialStream* port_stream;
};

}  // namespace Orvex::HardwareAPI::Python
