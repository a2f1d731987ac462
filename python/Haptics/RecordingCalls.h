#pragma once

// What the loop's and the listener's record() and stop_recording() share on the Python side.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>

namespace Orvex::HardwareAPI::Python {

// The path (str, bytes or os.PathLike) as the file system takes it.
std::string record_path(pybind11::handle path);
// Raises for what record() answered: RuntimeError when recording already, ValueError for a path
// of no recording format, OSError (with the file name) when the file could not be made.
void raise_unless_recording(int answer, pybind11::handle path);
// {"rows": ..., "lost": ...}, or None.
pybind11::object record_result(std::optional<std::uint64_t> rows, std::uint64_t lost);

}  // namespace Orvex::HardwareAPI::Python
