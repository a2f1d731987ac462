#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace Orvex::HardwareAPI::Haptics {

// A recorded row: up to max_record_columns doubles, the unused ones ignored. A servo loop's
// widest row is its cycle (23 columns) and three forces for each of its 32 effects.
constexpr std::size_t max_record_columns = 128;
using RecordRow = std::array<double, max_record_columns>;

// The two file kinds a recording can be, told apart by the path's ending.
enum class RecordFormat { csv, npy };
std::optional<RecordFormat> record_format_of(const std::string& path);

// CSV: a header line of the column names, then one line per row, each number the shortest text
// that reads back as the same double.
std::string csv_header(const char* const* names, std::size_t columns);
void append_csv_row(const double* row, std::size_t columns, std::string& out);

// NumPy's .npy (version 1.0): a header of npy_header_size bytes that gives the shape (rows,
// columns) of little-endian float64 values, then the values row by row. The header has the same
// size for any row count, so it is rewritten in place as rows are added.
constexpr std::size_t npy_header_size = 128;
std::string npy_header(std::uint64_t rows, std::size_t columns);
void append_npy_row(const double* row, std::size_t columns, std::string& out);

// The shortest of "%.15g", "%.16g" and "%.17g" that reads back as exactly `value` (17 digits
// always do): a correctly rounded text of the fewest digits that round-trips.
void append_shortest(double value, std::string& out);

}  // namespace Orvex::HardwareAPI::Haptics
