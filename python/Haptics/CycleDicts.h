#pragma once

// A servo loop's cycle, statistics and marks as Python dicts, each made from its one table in
// the library (cycle_fields, visit_stats), so that a field added there shows here unasked.

#include <pybind11/pybind11.h>

#include <vector>

#include "Haptics/CycleRecord.h"
#include "Haptics/RecordMark.h"
#include "Haptics/ServoLoop.h"

namespace Orvex::HardwareAPI::Python {

pybind11::dict cycle_dict(const Haptics::CycleRecord& record);
pybind11::dict stats_dict(const Haptics::ServoStats& stats);
// [{"time": ..., "cycle": ..., "label": ..., "fields": {...}}, ...]
pybind11::list mark_dicts(const std::vector<Haptics::RecordMark>& marks, const char* index_name);
// The fields of mark(label, **fields) as a JSON object's text (TypeError when one cannot be).
std::string fields_json(const pybind11::kwargs& fields);

// ServoSettings' defaults by name, as the constructor's keywords take them (None: no limit).
pybind11::dict servo_defaults();

}  // namespace Orvex::HardwareAPI::Python
