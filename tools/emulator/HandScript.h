#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "DampedBody.h"

namespace Orvex::Emulator {

// A scripted operator: a CSV file whose header names its columns, among time (s), the target x,
// y, z (m), a push fx, fy, fz (N), stiffness (N/m) and damping (N s/m). Only time is needed;
// without x, y and z the hand only pushes, without a push it pushes nothing, without an impedance
// it holds as a relaxed grip. Between rows every figure is interpolated.
class HandScript {
 public:
  // Throws HandFigures::HandError naming the file, and the row and column at fault.
  static HandScript read(const std::string& path, bool repeat);

  // The grip t seconds into the script: the first row's before it starts, the last row's after
  // it ends, unless it repeats.
  Grip at(double t) const;

 private:
  enum Column { time, x, y, z, fx, fy, fz, stiffness, damping, count };
  using Row = std::array<double, count>;

  bool holds = false;  // the script has a target
  bool repeat = false;
  std::vector<Row> rows;
};

}  // namespace Orvex::Emulator
