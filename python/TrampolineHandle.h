#pragma once

// A Handle made for a Python subclass: its field-wise callbacks call the subclass's overrides,
// taking the interpreter lock for the call, since Receive runs without it. The record callbacks
// keep their empty defaults.

#include <pybind11/pybind11.h>

#include <cstdint>

#include "Conventions.h"
#include "Devices/Handle.h"

namespace Orvex::HardwareAPI::Python {

class TrampolineHandle : public Devices::Handle {
 public:
  using Devices::Handle::Handle;

  void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                           std::uint8_t device_model_number, std::uint8_t hardware_version,
                           std::uint8_t firmware_version) override {
    PYBIND11_OVERRIDE(void, Devices::Handle, OnReceiveHandleInfo, tool_data_remaining, device_id,
                      device_model_number, hardware_version, firmware_version);
  }

  // No default to fall back on: a subclass must say what a status message means to it.
  void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                    std::uint8_t error_flag, std::uint8_t hall_effect_sensor_level,
                                    std::uint8_t user_data_length,
                                    const std::uint8_t* user_data) override {
    py::gil_scoped_acquire locked;
    const py::function override =
        py::get_override(static_cast<const Devices::Handle*>(this), "OnReceiveHandleStatusMessage");
    if (!override) {
      py::pybind11_fail(
          "Tried to call pure virtual function "
          "\"API::Devices::Handle::OnReceiveHandleStatusMessage\"");
    }
    override(device_id, list_of(quaternion, 4), error_flag, hall_effect_sensor_level,
             user_data_length, list_of(user_data, user_data_length));
  }

  void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code) override {
    PYBIND11_OVERRIDE(void, Devices::Handle, OnReceiveHandleErrorResponse, device_id, error_code);
  }
};

}  // namespace Orvex::HardwareAPI::Python
