#pragma once

// The library's own operations as contenders: the Corvane's end_effector_force exchange, and the
// handle's Receive of one streamed status message.

#include <cstdint>

#include "Devices/Corvane.h"
#include "Devices/Handle.h"
#include "IO/SerialStream.h"
#include "Round.h"

namespace Orvex::Bench {

class LibraryCorvane : public Contender {
 public:
  explicit LibraryCorvane(const char* port_path);
  bool exchange(std::size_t i) override;

 private:
  HardwareAPI::IO::SerialStream stream;
  HardwareAPI::Devices::Corvane corvane;
};

class LibraryHandle : public Contender, private HardwareAPI::Devices::Handle {
 public:
  explicit LibraryHandle(const char* port_path);
  bool exchange(std::size_t i) override;

 private:
  void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                    std::uint8_t error_flag, std::uint8_t hall_effect_sensor_level,
                                    std::uint8_t user_data_length,
                                    const std::uint8_t* user_data) override;

  HardwareAPI::IO::SerialStream stream;
  bool status_matched = false;
};

}  // namespace Orvex::Bench
