#pragma once

// A copy of a servo loop's trace, made once and then Python's: rows of 11 doubles that Python
// sees through the buffer protocol (numpy.asarray takes them without copying).

#include <pybind11/pybind11.h>

#include <array>
#include <vector>

#include "Haptics/ServoLoop.h"

namespace Orvex::HardwareAPI::Python {

struct Trace {
  static const std::array<const char*, Haptics::trace_columns> columns;

  std::vector<Haptics::TraceRow> rows;

  pybind11::buffer_info buffer();
  // A header line of the column names, then one line per row; OSError when it cannot be written.
  void to_csv(pybind11::handle path) const;
};

void bind_trace(pybind11::module_& module);

}  // namespace Orvex::HardwareAPI::Python
