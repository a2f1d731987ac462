#include "Trace.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

namespace Orvex::HardwareAPI::Python {

namespace py = pybind11;
using Haptics::TraceRow;
using Haptics::trace_columns;


py::buffer_info Trace::buffer() {
  // An empty trace still hands out a valid address, as buffer consumers expect.
  static double no_rows[trace_columns];
  double* first = rows.empty() ? no_rows : &rows.front().time;  // packed doubles, see CycleRecord
  return py::buffer_info(first, sizeof(double), py::format_descriptor<double>::format(), 2,
                         {static_cast<py::ssize_t>(rows.size()),
                          static_cast<py::ssize_t>(trace_columns)},
                         {static_cast<py::ssize_t>(sizeof(TraceRow)),
                          static_cast<py::ssize_t>(sizeof(double))},
                         true);
}

void Trace::to_csv(py::handle path) const {
  const py::object fs_path = py::module_::import("os").attr("fsencode")(path);
  const std::string name = fs_path.cast<std::string>();
  const auto fail = [&] {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
  };
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(name.c_str(), "w"),
                                                       &std::fclose);
  if (!file) fail();
  for (std::size_t i = 0; i < trace_columns; ++i)
    std::fprintf(file.get(), i ? ",%s" : "%s", Haptics::cycle_column_names()[i]);
  std::fputc('\n', file.get());
  for (const TraceRow& row : rows) {
    const std::array<double, trace_columns> values = Haptics::cycle_values(row);
    for (std::size_t i = 0; i < trace_columns; ++i)
      std::fprintf(file.get(), i ? ",%.17g" : "%.17g", values[i]);
    std::fputc('\n', file.get());
  }
  if (std::ferror(file.get()) || std::fclose(file.release()) != 0) fail();
}

void bind_trace(py::module_& module) {
  py::tuple names(trace_columns);
  for (std::size_t i = 0; i < trace_columns; ++i) names[i] = Haptics::cycle_column_names()[i];
  module.attr("TRACE_COLUMNS") = names;

  py::class_<Trace>(module, "Trace", py::buffer_protocol(),
                    "A servo loop's last cycles, oldest first: rows of TRACE_COLUMNS, float64")
      .def_buffer(&Trace::buffer)
      .def("__len__", [](const Trace& trace) { return trace.rows.size(); })
      .def_readonly("overwritten", &Trace::overwritten,
                    "Rows asked for that the ring had overwritten before they could be read")
      .def_readonly("marks", &Trace::marks,
                    "The marks from the first row's cycle on: {'time', 'cycle', 'label', "
                    "'fields'}")
      .def("to_csv", &Trace::to_csv, py::arg("path"),
           "Write a header line of the column names, then one line per row");
}

}  // namespace Orvex::HardwareAPI::Python
