#pragma once

// What a recording says of itself beside its rows, in a JSON file next to it (the recording's
// path with ".json" added): its column names, its clock and the wall-clock anchor taken at its
// start, and the events the application marked while it ran. A .npy file carries plain float64
// columns, readable by any numpy; the names are here. A recording without this file is an older
// one, whose columns are the first ones of today's.
//
// {"columns": ["time", ...], "clock": "monotonic seconds",
//  "anchor": {"wall_s": 1765270000.123, "monotonic_s": 5321.004},
//  "marks": [{"time": 5322.1, "cycle": 1096, "label": "stimulus", "fields": {...}}, ...]}

#include <cstdint>
#include <string>
#include <vector>

#include "Haptics/RecordMark.h"

namespace Orvex::HardwareAPI::Haptics {

struct RecordSidecar {
  std::vector<std::string> columns;
  const char* index_name = "cycle";  // what a mark's index counts
  double wall_s = 0;                  // the system clock at the start, seconds since 1970
  double monotonic_s = 0;             // the layer's clock read with it
  std::vector<RecordMark> marks;
};

// The anchor's two readings, taken together.
void take_anchor(RecordSidecar& sidecar);
// The sidecar's path for a recording's path.
std::string sidecar_path(const std::string& record_path);
// Writes the whole file anew: 0, or the errno value that stopped it.
int write_sidecar(const std::string& record_path, const RecordSidecar& sidecar);

}  // namespace Orvex::HardwareAPI::Haptics
