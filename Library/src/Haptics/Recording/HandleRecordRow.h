#pragma once

#include <cstddef>
#include <cstdint>

#include "Haptics/HandleMessage.h"
#include "RecordFormat.h"

namespace Orvex::HardwareAPI::Haptics {

// A handle message as a recorded row: its time, its kind (0 status, 1 information, 2 error),
// the fields of its kind (the others 0) and its number since the listener was made. A status
// message's user data bytes are not recorded, only their count.
constexpr std::size_t handle_record_columns = 16;
extern const char* const handle_record_names[handle_record_columns];

RecordRow handle_record_row(const HandleMessage& message, std::uint64_t number);

}  // namespace Orvex::HardwareAPI::Haptics
