#include "RecordingCalls.h"

#include <cerrno>
#include <cstring>

namespace Orvex::HardwareAPI::Python {

namespace py = pybind11;

std::string record_path(py::handle path) {
  return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

void raise_unless_recording(int answer, py::handle path) {
  if (answer == 0) return;
  if (answer == EBUSY) throw std::runtime_error("a recording runs already: stop_recording() first");
  if (answer == EINVAL) throw py::value_error("a recording's path ends in .csv or .npy");
  if (answer == EEXIST) {
    // The system's text for EEXIST ("File exists") would not say what is wrong with it.
    PyErr_SetObject(PyExc_FileExistsError,
                    py::make_tuple(answer, "not a regular file", path).ptr());
    throw py::error_already_set();
  }
  errno = answer;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
  throw py::error_already_set();
}

py::object record_result(const std::optional<Haptics::RecordResult>& recorded) {
  if (!recorded) return py::none();
  py::dict result;
  result["rows"] = recorded->rows;
  result["lost"] = recorded->lost;
  if (recorded->error == 0)
    result["error"] = py::none();
  else if (recorded->error == ENOENT)
    result["error"] = "the file was removed while recording";
  else
    result["error"] = std::string("writing the file failed: ") + std::strerror(recorded->error);
  return std::move(result);
}

}  // namespace Orvex::HardwareAPI::Python
