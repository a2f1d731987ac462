#pragma once

// A handle listener as Python holds it: while its thread runs it is on the list that interpreter
// exit stops, so no listener thread outlives Python.

#include <pybind11/pybind11.h>

#include "Haptics/HandleListener.h"
#include "StopAtExit.h"

namespace Orvex::HardwareAPI::Python {

class ExitSafeHandleListener : public Haptics::HandleListener {
 public:
  using HandleListener::HandleListener;
  ~ExitSafeHandleListener() { forget_at_exit(this); }

  // self: the Python object that holds this listener.
  bool start(pybind11::handle self) {
    if (!HandleListener::start()) return false;
    stop_at_exit(self, this,
                 [](void* owner) { static_cast<ExitSafeHandleListener*>(owner)->stop(); });
    return true;
  }

  void stop() {
    forget_at_exit(this);
    HandleListener::stop();
  }
};

}  // namespace Orvex::HardwareAPI::Python
