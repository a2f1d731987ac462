#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace Orvex::Emulator {

// A recording as the servo loop or the handle listener writes it (.csv with a header line, or a
// NumPy .npy of float64 rows), read whole.
struct Recording {
  std::string path;
  std::vector<std::string> columns;
  std::vector<std::vector<double>> rows;

  // The index of a column; throws RecordingError naming the file and the missing column.
  std::size_t column(const std::string& name) const;
};

// A file that is no recording, or not one of the kind wanted: what() names the file and the
// problem.
class RecordingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads path; its ending says the format. An .npy has no column names: 15 columns are taken as
// a servo loop's trace, 16 as a handle listener's messages. Throws RecordingError when the file
// cannot be read, is neither format, has no rows, or its times do not grow.
Recording read_recording(const std::string& path);

}  // namespace Orvex::Emulator
