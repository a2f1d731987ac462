#include "HandleMessageDicts.h"

#include "Conventions.h"

namespace Orvex::HardwareAPI::Python {

namespace py = pybind11;
using Haptics::HandleMessage;

namespace {

void put_status_fields(py::dict& dict, const HandleMessage& message) {
  const auto& status = message.status;
  dict["time"] = message.time;
  dict["device_id"] = status.device_id;
  dict["quaternion"] = py::make_tuple(status.quaternion[0], status.quaternion[1],
                                      status.quaternion[2], status.quaternion[3]);
  dict["error_flag"] = status.error_flag;
  dict["hall_effect_sensor_level"] = status.hall_effect_sensor_level;
  dict["user_data"] =
      py::bytes(reinterpret_cast<const char*>(status.user_data), status.user_data_length);
}

void put_info_fields(py::dict& dict, const HandleMessage& message) {
  const auto& info = message.info;
  dict["time"] = message.time;
  dict["tool_data_remaining"] = info.tool_data_remaining;
  dict["device_id"] = info.device_id;
  dict["device_model_number"] = info.device_model_number;
  dict["hardware_version"] = info.hardware_version;
  dict["firmware_version"] = info.firmware_version;
}

void put_error_fields(py::dict& dict, const HandleMessage& message) {
  dict["time"] = message.time;
  dict["device_id"] = message.error.device_id;
  dict["error_code"] = message.error.error_code;
}

py::object stop_reason_text(Haptics::HandleStopReason reason) {
  switch (reason) {
    case Haptics::HandleStopReason::stop:
      return py::str("stop");
    case Haptics::HandleStopReason::device_lost:
      return py::str("device lost");
    case Haptics::HandleStopReason::gave_up:
      return py::str("gave up reconnecting");
    case Haptics::HandleStopReason::none:
      break;
  }
  return py::none();
}

}  // namespace

py::dict status_dict(const HandleMessage& message) {
  py::dict dict;
  put_status_fields(dict, message);
  return dict;
}

py::dict info_dict(const HandleMessage& message) {
  py::dict dict;
  put_info_fields(dict, message);
  return dict;
}

py::dict queued_message_dict(const HandleMessage& message) {
  py::dict dict;
  switch (message.kind) {
    case HandleMessage::Kind::status:
      dict["kind"] = "status";
      put_status_fields(dict, message);
      break;
    case HandleMessage::Kind::info:
      dict["kind"] = "info";
      put_info_fields(dict, message);
      break;
    case HandleMessage::Kind::error:
      dict["kind"] = "error";
      put_error_fields(dict, message);
      break;
  }
  return dict;
}

py::dict stats_dict(const Haptics::HandleListenerStats& stats) {
  py::dict dict;
  dict["messages"] = stats.messages;
  dict["status"] = stats.status;
  dict["info"] = stats.info;
  dict["errors"] = stats.errors;
  dict["unknown"] = stats.unknown;
  dict["refused"] = stats.refused;
  dict["reconnects"] = stats.reconnects;
  dict["reconnect_refusal"] = optional_text(stats.reconnect_refusal);
  dict["dropped"] = stats.dropped;
  dict["rate_hz"] = stats.rate_hz;
  dict["stop_reason"] = stop_reason_text(stats.stop_reason);
  dict["recorded"] = stats.recorded;
  dict["record_lost"] = stats.record_lost;
  return dict;
}

}  // namespace Orvex::HardwareAPI::Python
