#pragma once

#include <cstdint>

namespace Orvex::HardwareAPI::Haptics {

// What a recording wrote: rows in the file, and rows lost (a full queue or a file that refused
// them). Together they count every row offered while it ran.
struct RecordResult {
  std::uint64_t rows = 0;
  std::uint64_t lost = 0;
};

}  // namespace Orvex::HardwareAPI::Haptics
