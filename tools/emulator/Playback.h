#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "Recording.h"
#include "Types.h"

namespace Orvex::Emulator {

// A servo loop's recording as an arm to answer with: the recorded end-effector position and
// velocity at a time since the first row, interpolated linearly between the rows around it and
// held at the last row after the end.
class CorvanePlayback {
 public:
  // Throws RecordingError when the recording lacks a servo loop's columns.
  explicit CorvanePlayback(const Recording& recording);

  struct State {
    Vector3 position;
    Vector3 velocity;
  };
  State at(double since_first_s) const;
  double duration_s() const { return times.back(); }

 private:
  std::vector<double> times;               // since the first row
  std::vector<std::array<double, 6>> states;  // x, y, z, vx, vy, vz
};

// A handle listener's recording as a handle to play: each recorded message, encoded again, at
// its time since the first. User data, which a recording does not keep, goes out as zeros of the
// recorded length.
class HandlePlayback {
 public:
  // Throws RecordingError when the recording lacks a handle listener's columns.
  explicit HandlePlayback(const Recording& recording);

  std::size_t size() const { return times.size(); }
  double time_s(std::size_t i) const { return times[i]; }
  const Message& message(std::size_t i) const { return messages[i]; }

 private:
  std::vector<double> times;  // since the first message
  std::vector<Message> messages;
};

}  // namespace Orvex::Emulator
