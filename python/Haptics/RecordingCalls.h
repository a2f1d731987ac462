#pragma once

// What the loop's and the listener's record() and stop_recording() share on the Python side.

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "Conventions.h"
#include "Haptics/RecordResult.h"

namespace Orvex::HardwareAPI::Python {

// The path (str, bytes or os.PathLike) as the file system takes it.
std::string record_path(pybind11::handle path);
// Raises for what record() answered: RuntimeError when recording already, ValueError for a path
// of no recording format, OSError (with the file name) when the file could not be made:
// FileExistsError when something other than a regular file is at the path.
void raise_unless_recording(int answer, pybind11::handle path);
// {"rows": ..., "lost": ..., "error": None or why the file lacks rows}, or None.
pybind11::object record_result(const std::optional<Haptics::RecordResult>& result);

// record(path) and stop_recording() of a servo loop or a handle listener, without the
// interpreter lock while the file is opened or finished.
template <class Recording>
void record_to(Recording& recording, pybind11::handle path) {
  const std::string name = record_path(path);
  raise_unless_recording(unlocked([&] { return recording.record(name); }), path);
}

constexpr const char* stop_recording_doc =
    "End the recording: {'rows': written, 'lost': not written, 'error': None, or why the file "
    "lacks rows}; the last recording's when none runs, None before any";

template <class Recording>
pybind11::object stop_recording_of(Recording& recording) {
  return record_result(unlocked([&] { return recording.stop_recording(); }));
}

}  // namespace Orvex::HardwareAPI::Python
