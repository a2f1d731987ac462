#pragma once

// The operator's hand: its defaults, and the range of each figure a script or the control socket
// may set.

#include <stdexcept>
#include <string>

namespace Orvex::Emulator::HandFigures {

// A relaxed grip holding a handle still: Tsuji, Morasso, Goto and Ito, "Human hand impedance
// characteristics during maintained posture", Biological Cybernetics 72 (1995) 475-485, measured
// hand stiffnesses of a few hundred N/m and viscosities of a few N s/m to about ten, the least
// with the muscles relaxed. We take the soft end of both.
constexpr double relaxed_stiffness = 300.0;  // N/m
constexpr double relaxed_damping = 8.0;      // N s/m

// Beyond these a hand is no human's (and stiffer springs would need a finer integration step).
constexpr double max_stiffness = 5000.0;  // N/m
constexpr double max_damping = 200.0;     // N s/m
constexpr double max_push = 100.0;        // N, per axis
constexpr double max_reach = 1.0;         // m, per axis of the target

// A value that no hand can have; what() names it and its range.
class HandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Returns value when it is finite and within the range of the field named (x, fy, stiffness...);
// throws HandError otherwise.
double checked(const std::string& field, double value);

}  // namespace Orvex::Emulator::HandFigures
