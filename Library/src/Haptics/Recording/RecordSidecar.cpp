#include "RecordSidecar.h"

#include <time.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "../MonotonicClock.h"
#include "RecordFile.h"
#include "RecordFormat.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

void append_json_string(const std::string& text, std::string& out) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

// JSON has no text for infinities or NaN: a time is always finite, so null stands for them.
void append_json_number(double value, std::string& out) {
  if (value != value || value - value != 0) {
    out += "null";
    return;
  }
  append_shortest(value, out);
}

}  // namespace

void take_anchor(RecordSidecar& sidecar) {
  timespec wall{};
  clock_gettime(CLOCK_REALTIME, &wall);
  sidecar.monotonic_s = monotonic_ns() / 1e9;
  sidecar.wall_s = static_cast<double>(wall.tv_sec) + wall.tv_nsec / 1e9;
}

std::string sidecar_path(const std::string& record_path) { return record_path + ".json"; }

int write_sidecar(const std::string& record_path, const RecordSidecar& sidecar) {
  std::string text = "{\"columns\": [";
  for (std::size_t i = 0; i < sidecar.columns.size(); ++i) {
    if (i) text += ", ";
    append_json_string(sidecar.columns[i], text);
  }
  text += "],\n \"clock\": \"monotonic seconds\",\n \"anchor\": {\"wall_s\": ";
  append_json_number(sidecar.wall_s, text);
  text += ", \"monotonic_s\": ";
  append_json_number(sidecar.monotonic_s, text);
  text += "},\n \"marks\": [";
  for (std::size_t i = 0; i < sidecar.marks.size(); ++i) {
    const RecordMark& mark = sidecar.marks[i];
    text += i ? ",\n  {\"time\": " : "\n  {\"time\": ";
    append_json_number(mark.time, text);
    text += ", \"";
    text += sidecar.index_name;
    text += "\": " + std::to_string(mark.index) + ", \"label\": ";
    append_json_string(mark.label, text);
    text += ", \"fields\": ";
    text += mark.fields_json.empty() ? "{}" : mark.fields_json;
    text += '}';
  }
  text += "]}\n";

  // Opened with the care the recording's own file is: never waiting, never through a link.
  int fd = -1;
  if (const int error = open_regular_file(sidecar_path(record_path), fd)) return error;
  int error = write_whole(fd, text) ? 0 : (errno ? errno : EIO);
  if (::close(fd) != 0 && !error) error = errno;
  return error;
}

}  // namespace Orvex::HardwareAPI::Haptics
