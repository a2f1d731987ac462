#pragma once

// What the bench's stand-in devices send, so that every contender can check each reply it gets.
// The Corvane answers a force command f with the state: position f, velocity -f, and a wake-up with
// a device-information reply of model 4. The handle streams one fixed status message over and over.

#include <cstddef>
#include <cstdint>

namespace Orvex::Bench {

constexpr std::uint8_t wakeup_code = 10;
constexpr std::uint8_t device_info_code = 11;
constexpr std::size_t device_info_reply_size = 22;
constexpr std::uint8_t corvane_model_number = 4;
constexpr std::uint8_t force_code = 42;
constexpr std::uint8_t end_effector_state_code = 43;
constexpr std::size_t force_command_size = 13;
constexpr std::size_t state_reply_size = 25;

constexpr std::uint8_t status_message_code = 218;
constexpr std::uint16_t handle_device_id = 300;
constexpr std::uint8_t status_user_data[] = {1, 2, 3, 4};
constexpr std::uint8_t status_user_data_length = sizeof status_user_data;
constexpr std::size_t status_fixed_body_size = 21;
constexpr std::size_t status_message_size = 1 + status_fixed_body_size + status_user_data_length;

}  // namespace Orvex::Bench
