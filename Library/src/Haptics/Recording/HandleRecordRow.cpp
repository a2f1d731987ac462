#include "HandleRecordRow.h"

namespace Orvex::HardwareAPI::Haptics {

const char* const handle_record_names[handle_record_columns] = {
    "time",          "kind",     "device_id",        "q0",
    "q1",            "q2",       "q3",               "error_flag",
    "hall",          "user_data_length", "tool_data_remaining", "model",
    "hardware",      "firmware", "error_code",       "message"};

RecordRow handle_record_row(const HandleMessage& message, std::uint64_t number) {
  RecordRow row{};
  row[0] = message.time;
  row[15] = static_cast<double>(number);
  switch (message.kind) {
    case HandleMessage::Kind::status:
      row[2] = message.status.device_id;
      for (std::size_t i = 0; i < 4; ++i) row[3 + i] = message.status.quaternion[i];
      row[7] = message.status.error_flag;
      row[8] = message.status.hall_effect_sensor_level;
      row[9] = message.status.user_data_length;
      break;
    case HandleMessage::Kind::info:
      row[1] = 1;
      row[2] = message.info.device_id;
      row[10] = message.info.tool_data_remaining;
      row[11] = message.info.device_model_number;
      row[12] = message.info.hardware_version;
      row[13] = message.info.firmware_version;
      break;
    case HandleMessage::Kind::error:
      row[1] = 2;
      row[2] = message.error.device_id;
      row[14] = message.error.error_code;
      break;
  }
  return row;
}

}  // namespace Orvex::HardwareAPI::Haptics
