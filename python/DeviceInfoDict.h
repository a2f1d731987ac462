#pragma once

// A Corvane's device information as Python sees it in a dict; shared by the Corvane's
// device_wakeup_dict and the servo loop's info.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdio>

#include "Devices/Corvane.h"
#include "UUID.h"

namespace Orvex::HardwareAPI::Python {

// The standard library's uuid.UUID of the identifier, built from its 32 lowercase hex digits.
inline pybind11::object standard_uuid(const UUID& id) {
  char hex[2 * UUID::size + 1];
  for (std::size_t i = 0; i < UUID::size; ++i) std::snprintf(hex + 2 * i, 3, "%02x", id.bytes[i]);
  return pybind11::module_::import("uuid").attr("UUID")(pybind11::arg("hex") = hex);
}

inline pybind11::dict device_info_dict(const Devices::DeviceInfo& info) {
  pybind11::dict result;
  result["device_id"] = info.device_id;
  result["device_model_number"] = info.device_model_number;
  result["hardware_version"] = info.hardware_version;
  result["firmware_version"] = info.firmware_version;
  result["device_id_ext"] = standard_uuid(info.device_id_ext);
  return result;
}

}  // namespace Orvex::HardwareAPI::Python
