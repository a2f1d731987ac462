#include "Playback.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "HandleMessages.h"
#include "HandleModel.h"

namespace Orvex::Emulator {

CorvanePlayback::CorvanePlayback(const Recording& recording) {
  const std::size_t time = recording.column("time");
  std::array<std::size_t, 6> index{};
  const char* names[6] = {"x", "y", "z", "vx", "vy", "vz"};
  for (std::size_t i = 0; i < 6; ++i) index[i] = recording.column(names[i]);
  const double first = recording.rows.front()[time];
  for (const std::vector<double>& row : recording.rows) {
    times.push_back(row[time] - first);
    std::array<double, 6> state{};
    for (std::size_t i = 0; i < 6; ++i) state[i] = row[index[i]];
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
  const std::size_t q[4] = {column("q0"), column("q1"), column("q2"), column("q3")};
  const auto byte = [](double value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
  };
  const double first = recording.rows.front()[time];
  for (std::size_t r = 0; r < recording.rows.size(); ++r) {
    const std::vector<double>& row = recording.rows[r];
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
