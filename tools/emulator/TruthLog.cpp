#include "TruthLog.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace Orvex::Emulator {

TruthLog::TruthLog(const std::string& path) : file(std::fopen(path.c_str(), "w")) {
  if (!file)
    throw std::runtime_error("--truth " + path + ": cannot be written (" + std::strerror(errno) +
                             ")");
  std::fputs("time,x,y,z,vx,vy,vz,hand_fx,hand_fy,hand_fz,fx,fy,fz\n", file);
}

TruthLog::~TruthLog() {
  std::fclose(file);
}

void TruthLog::write(double time_s, const CorvaneModel& arm) {
  const Vector3& x = arm.end_effector().position();
  const Vector3& v = arm.end_effector().velocity();
  const Vector3 hand = arm.hand_force();
  const Vector3& f = arm.end_effector().effort();
  std::fprintf(file, "%.6f,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g\n", time_s,
               x[0], x[1], x[2], v[0], v[1], v[2], hand[0], hand[1], hand[2], f[0], f[1], f[2]);
}

}  // namespace Orvex::Emulator
