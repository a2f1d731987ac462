#pragma once

// A handle listener's messages and counts as the Python dictionaries its methods return.

#include <pybind11/pybind11.h>

#include "Haptics/HandleListener.h"
#include "Haptics/HandleMessage.h"

namespace Orvex::HardwareAPI::Python {

// time, device_id, quaternion, error_flag, hall_effect_sensor_level, user_data.
pybind11::dict status_dict(const Haptics::HandleMessage& message);
// time, tool_data_remaining, device_id, device_model_number, hardware_version, firmware_version.
pybind11::dict info_dict(const Haptics::HandleMessage& message);
// Any message, as the queue gives it: kind ("status", "info" or "error") first, then its fields;
// an error has time, device_id and error_code.
pybind11::dict queued_message_dict(const Haptics::HandleMessage& message);

// messages, status, info, errors, unknown, dropped, rate_hz, stop_reason.
pybind11::dict stats_dict(const Haptics::HandleListenerStats& stats);

}  // namespace Orvex::HardwareAPI::Python
