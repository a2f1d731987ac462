#include "Recording.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "Device/LittleEndian.h"

namespace Orvex::Emulator {

namespace {

namespace le = HardwareAPI::Devices::LittleEndian;

std::uint64_t get_u64(const std::uint8_t* at) {
  return le::get_u32(at) | static_cast<std::uint64_t>(le::get_u32(at + 4)) << 32;
}

const std::vector<std::string> servo_columns = {
    "time", "x",  "y",           "z",       "vx",      "vy",      "vz",   "fx",
    "fy",   "fz", "exchange_us", "proxy_x", "proxy_y", "proxy_z", "cycle"};
const std::vector<std::string> handle_columns = {
    "time",  "kind",     "device_id",        "q0",   "q1",       "q2",       "q3",         "error_flag",
    "hall",  "user_data_length", "tool_data_remaining", "model", "hardware", "firmware", "error_code",
    "message"};

bool ends_with(const std::string& text, const char* ending) {
  const std::size_t n = std::strlen(ending);
  return text.size() > n && text.compare(text.size() - n, n, ending) == 0;
}

[[noreturn]] void fail(const std::string& path, const std::string& problem) {
  throw RecordingError(path + ": " + problem);
}

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> cells;
  std::string cell;
  std::istringstream in(line);
  while (std::getline(in, cell, ',')) cells.push_back(cell);
  if (!line.empty() && line.back() == ',') cells.emplace_back();
  return cells;
}

void read_csv(std::istream& in, Recording& recording) {
  std::string line;
  if (!std::getline(in, line)) fail(recording.path, "empty: a recording starts with a header line");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  recording.columns = split(line);
  for (std::size_t number = 2; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::vector<std::string> cells = split(line);
    if (cells.size() != recording.columns.size())
      fail(recording.path, "line " + std::to_string(number) + " has " +
                               std::to_string(cells.size()) + " values, the header " +
                               std::to_string(recording.columns.size()));
    std::vector<double> row;
    for (const std::string& cell : cells) {
      char* end = nullptr;
      const double value = std::strtod(cell.c_str(), &end);
      if (cell.empty() || *end != '\0')
        fail(recording.path, "line " + std::to_string(number) + ": '" + cell + "' is no number");
      row.push_back(value);
    }
    recording.rows.push_back(std::move(row));
  }
}

// The value of 'key': in an .npy header's dictionary, as written there.
std::string npy_field(const std::string& header, const std::string& key) {
  const std::size_t at = header.find("'" + key + "'");
  if (at == std::string::npos) return {};
  std::size_t from = header.find(':', at);
  if (from == std::string::npos) return {};
  ++from;
  while (from < header.size() && header[from] == ' ') ++from;
  const char close = header[from] == '(' ? ')' : header[from] == '\'' ? '\'' : ',';
  const std::size_t to = header.find(close, from + 1);
  if (to == std::string::npos) return {};
  return header.substr(from, to - from + (close == ',' ? 0 : 1));
}

void read_npy(const std::string& bytes, Recording& recording) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  if (bytes.size() < 10 || bytes.compare(0, 6, "\x93NUMPY") != 0)
    fail(recording.path, "not a NumPy .npy file (no \\x93NUMPY at its start)");
  const bool v1 = data[6] == 1;
  const std::size_t header_length =
      v1 ? le::get_u16(data + 8)
         : le::get_u32(data + 8);
  const std::size_t offset = (v1 ? 10 : 12) + header_length;
  if (offset > bytes.size()) fail(recording.path, "its .npy header is cut short");
  const std::string header = bytes.substr(v1 ? 10 : 12, header_length);
  if (npy_field(header, "descr") != "'<f8'")
    fail(recording.path, "a recording holds little-endian float64 ('<f8'), not " +
                             npy_field(header, "descr"));
  if (npy_field(header, "fortran_order") != "False")
    fail(recording.path, "a recording is stored in rows (fortran_order False)");
  unsigned long long rows = 0, columns = 0;
  if (std::sscanf(npy_field(header, "shape").c_str(), "(%llu, %llu)", &rows, &columns) != 2)
    fail(recording.path, "a recording has two dimensions, not the shape " +
                             npy_field(header, "shape"));
  if (columns == servo_columns.size())
    recording.columns = servo_columns;
  else if (columns == handle_columns.size())
    recording.columns = handle_columns;
  else
    fail(recording.path, "an .npy recording has 15 columns (a servo loop's) or 16 (a handle "
                         "listener's), not " + std::to_string(columns));
  const std::size_t whole_rows = (bytes.size() - offset) / (8 * columns);
  if (whole_rows < rows) rows = whole_rows;  // a recording cut off: its header may run ahead
  for (std::size_t r = 0; r < rows; ++r) {
    std::vector<double> row(columns);
    for (std::size_t c = 0; c < columns; ++c) {
      const std::uint64_t bits =
          get_u64(data + offset + 8 * (r * columns + c));
      std::memcpy(&row[c], &bits, sizeof bits);
    }
    recording.rows.push_back(std::move(row));
  }
}

}  // namespace

std::size_t Recording::column(const std::string& name) const {
  for (std::size_t i = 0; i < columns.size(); ++i)
    if (columns[i] == name) return i;
  fail(path, "no column '" + name + "': is it a recording of the right device?");
}

Recording read_recording(const std::string& path) {
  Recording recording;
  recording.path = path;
  const bool csv = ends_with(path, ".csv");
  if (!csv && !ends_with(path, ".npy"))
    fail(path, "a recording is a .csv or an .npy file");
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(path, std::string("cannot be read: ") + std::strerror(errno));
  if (csv) {
    read_csv(in, recording);
  } else {
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    read_npy(bytes, recording);
  }
  if (recording.rows.empty()) fail(path, "the recording has no rows");
  const std::size_t time = recording.column("time");
  for (std::size_t r = 0; r < recording.rows.size(); ++r) {
    const double t = recording.rows[r][time];
    if (!std::isfinite(t) || (r > 0 && t < recording.rows[r - 1][time]))
      fail(path, "row " + std::to_string(r + 1) + ": its time goes back or is not finite");
  }
  return recording;
}

}  // namespace Orvex::Emulator
