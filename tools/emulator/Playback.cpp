#include "Playback.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "CorvaneModel.h"
#include "HandleMessages.h"
#include "HandleModel.h"

namespace Orvex::Emulator {

namespace {

// Faster than a hand moves a desktop arm.
constexpr double max_speed_m_s = 10.0;
constexpr double any_number = std::numeric_limits<double>::infinity();

std::string shown(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// A value a replay would send the host that no device sends: refused with its row (counted from
// 1, the first after a CSV header) named.
void check_value(const Recording& recording, std::size_t row, const char* name, double value,
                 double limit, const char* unit) {
  if (std::isfinite(value) && std::fabs(value) <= limit) return;
  throw RecordingError(recording.path + ": row " + std::to_string(row + 1) + ": " + name +
                       " = " + shown(value) +
                       (std::isfinite(value) ? " is out of range (±" + shown(limit) + unit + ")"
                                             : " is not finite"));
}

}  // namespace

CorvanePlayback::CorvanePlayback(const Recording& recording) {
  const std::size_t time = recording.column("time");
  std::array<std::size_t, 6> index{};
  const char* names[6] = {"x", "y", "z", "vx", "vy", "vz"};
  for (std::size_t i = 0; i < 6; ++i) index[i] = recording.column(names[i]);
  const double first = recording.rows.front()[time];
  for (std::size_t r = 0; r < recording.rows.size(); ++r) {
    const std::vector<double>& row = recording.rows[r];
    times.push_back(row[time] - first);
    std::array<double, 6> state{};
    for (std::size_t i = 0; i < 6; ++i) {
      state[i] = row[index[i]];
      // Where the emulated arm can be (within its default end stops), and how fast it can go.
      if (i < 3)
        check_value(recording, r, names[i], state[i], ArmFigures{}.workspace_m, " m");
      else
        check_value(recording, r, names[i], state[i], max_speed_m_s, " m/s");
    }
    states.push_back(state);
  }
}

CorvanePlayback::State CorvanePlayback::at(double since_first_s) const {
  // The first row later than the time; the one before it is at or before.
  const std::size_t after =
      std::upper_bound(times.begin(), times.end(), since_first_s) - times.begin();
  std::array<double, 6> value{};
  if (after == 0 || after == times.size()) {
    value = states[after == 0 ? 0 : times.size() - 1];
  } else {
    const double span = times[after] - times[after - 1];
    const double share = span > 0 ? (since_first_s - times[after - 1]) / span : 1.0;
    for (std::size_t i = 0; i < 6; ++i)
      value[i] = states[after - 1][i] + share * (states[after][i] - states[after - 1][i]);
  }
  return {{value[0], value[1], value[2]}, {value[3], value[4], value[5]}};
}

HandlePlayback::HandlePlayback(const Recording& recording) {
  const auto column = [&](const char* name) { return recording.column(name); };
  const std::size_t time = column("time"), kind = column("kind"), id = column("device_id"),
                    flag = column("error_flag"), hall = column("hall"),
                    length = column("user_data_length"), code = column("error_code");
  const char* const quaternion_names[4] = {"q0", "q1", "q2", "q3"};
  std::size_t q[4];
  for (std::size_t i = 0; i < 4; ++i) q[i] = column(quaternion_names[i]);
  const auto byte = [](double value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
  };
  const double first = recording.rows.front()[time];
  for (std::size_t r = 0; r < recording.rows.size(); ++r) {
    const std::vector<double>& row = recording.rows[r];
    // A unit quaternion's parts lie within ±1; the fields that become bytes are clamped to
    // theirs, so they only need to be numbers.
    for (std::size_t i = 0; i < 4; ++i)
      check_value(recording, r, quaternion_names[i], row[q[i]], 1.0, "");
    for (const std::size_t field : {kind, id, flag, hall, length, code})
      check_value(recording, r, recording.columns[field].c_str(), row[field], any_number, "");
    const auto device_id = static_cast<std::uint16_t>(std::clamp(row[id], 0.0, 65535.0));
    if (row[kind] == 0) {
      HandlePose pose{};
      for (std::size_t i = 0; i < 4; ++i) pose.quaternion[i] = static_cast<float>(row[q[i]]);
      pose.hall_level = byte(row[hall]);
      messages.push_back(HandleMessages::encode_status(
          device_id, pose, byte(row[flag]), std::vector<std::uint8_t>(byte(row[length]), 0)));
    } else if (row[kind] == 1) {
      messages.push_back(HandleMessages::encode_info(device_id));
    } else if (row[kind] == 2) {
      messages.push_back(HandleMessages::encode_error(device_id, byte(row[code])));
    } else {
      throw RecordingError(recording.path + ": row " + std::to_string(r + 1) +
                           ": kind is 0 (status), 1 (information) or 2 (error)");
    }
    times.push_back(row[time] - first);
  }
}

}  // namespace Orvex::Emulator
