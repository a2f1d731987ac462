#pragma once

#include <cstdio>
#include <string>

#include "CorvaneModel.h"

namespace Orvex::Emulator {

// The arm's ground truth as CSV: where it is, how it moves, the hand's force and the commanded
// force as applied, a row at a time.
class TruthLog {
 public:
  // Throws std::runtime_error naming the path when it cannot be written.
  explicit TruthLog(const std::string& path);
  ~TruthLog();
  TruthLog(const TruthLog&) = delete;
  TruthLog& operator=(const TruthLog&) = delete;

  void write(double time_s, const CorvaneModel& arm);

 private:
  std::FILE* file;
};

}  // namespace Orvex::Emulator
