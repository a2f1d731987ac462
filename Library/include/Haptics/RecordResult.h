#pragma once

#include <cstdint>

namespace Orvex::HardwareAPI::Haptics {

// What a recording wrote: rows in the file, and rows lost (a full queue, a file that refused
// them, or one removed while it was written). Together they count every row offered while it
// ran. `error` says why the file lacks rows the writer gave it: 0 when it lacks none (rows lost
// to a full queue never reached it), ENOENT when the file (or a folder above it) was removed
// while recording, so that it holds nothing and every row counts as lost, else the errno value
// of the first write, or of the close, that the system refused.
struct RecordResult {
  std::uint64_t rows = 0;
  std::uint64_t lost = 0;
  int error = 0;
};

}  // namespace Orvex::HardwareAPI::Haptics
