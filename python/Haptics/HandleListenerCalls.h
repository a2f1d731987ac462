#pragma once

// What the HandleListener methods do beyond calling the library: check their arguments the way
// Python users expect, wait without the interpreter lock, and turn results into Python objects.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>

#include "ExitSafeHandleListener.h"
#include "IO/SerialStream.h"

namespace Orvex::HardwareAPI::Python {

std::unique_ptr<ExitSafeHandleListener> make_handle_listener(IO::SerialStream* stream,
                                                              std::int64_t queue_capacity,
                                                              bool reconnect,
                                                              std::optional<double> give_up_s);

// Raises RuntimeError when another servo loop or listener owns the stream; self is the Python
// listener.
void start_listener(pybind11::handle self);

void queue_wakeup(ExitSafeHandleListener& listener);
void queue_status_request(ExitSafeHandleListener& listener);
void queue_state(ExitSafeHandleListener& listener, const pybind11::int_& device_id,
                 const pybind11::buffer& user_data);

pybind11::object latest_status(const ExitSafeHandleListener& listener);
pybind11::object latest_info(const ExitSafeHandleListener& listener);
pybind11::list take_messages(ExitSafeHandleListener& listener,
                             std::optional<std::int64_t> max_count, double timeout);

// Roll, pitch and yaw in degrees of a status dict's quaternion, or of four floats.
pybind11::tuple roll_pitch_yaw_degrees(const pybind11::object& status_or_quaternion);

}  // namespace Orvex::HardwareAPI::Python
