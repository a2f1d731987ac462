#pragma once

// A copy of a servo loop's trace, made once and then Python's: rows of trace_columns doubles that Python
// sees through the buffer protocol (numpy.asarray takes them without copying).

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <vector>

#include "Haptics/ServoLoop.h"

namespace Orvex::HardwareAPI::Python {

struct Trace {
  std::vector<Haptics::TraceRow> rows;
  std::uint64_t overwritten = 0;  // rows asked for that the ring had overwritten
  pybind11::list marks;           // those from the first row's cycle on

  pybind11::buffer_info buffer();
  // A header line of the column names, then one line per row; OSError when it cannot be written.
  void to_csv(pybind11::handle path) const;
};

void bind_trace(pybind11::module_& module);

}  // namespace Orvex::HardwareAPI::Python
