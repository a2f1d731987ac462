#include "HandFigures.h"

#include <cmath>
#include <sstream>

namespace Orvex::Emulator::HandFigures {

namespace {

struct Range {
  double low, high;
  const char* unit;
};

Range range_of(const std::string& field) {
  if (field == "stiffness") return {0, max_stiffness, "N/m"};
  if (field == "damping") return {0, max_damping, "N s/m"};
  if (!field.empty() && field[0] == 'f') return {-max_push, max_push, "N"};
  return {-max_reach, max_reach, "m"};
}

}  // namespace

double checked(const std::string& field, double value) {
  const Range range = range_of(field);
  if (std::isfinite(value) && value >= range.low && value <= range.high) return value;
  std::ostringstream why;
  why << field << " wants a number from " << range.low << " to " << range.high << " " << range.unit
      << ", not " << value;
  throw HandError(why.str());
}

}  // namespace Orvex::Emulator::HandFigures
