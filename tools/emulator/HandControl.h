#pragma once

#include <string>

#include "CorvaneModel.h"

namespace Orvex::Emulator {

// The control socket's language, one JSON object a line each way. A request holds any of:
//   "move_to": [x, y, z]   the hand takes hold of the arm and pulls towards this target (m)
//   "push": [fx, fy, fz]   a steady push beside the grip (N)
//   "release": true        the hand lets go: no grip, no push
//   "stiffness": k, "damping": b   the grip's impedance (N/m, N s/m)
//   "truth": true          nothing to change: only the reply is wanted
// in that order when several are given. Every reply is the ground truth after the request,
//   {"time": s, "position": [...], "velocity": [...], "hand_force": [...], "force": [...],
//    "holding": true|false}
// or {"error": "..."} naming the field at fault, the request then changing nothing.
std::string answer_control(const std::string& request, CorvaneModel& arm, double now_s);

// The ground truth as the control socket replies it.
std::string truth_reply(const CorvaneModel& arm, double now_s);

}  // namespace Orvex::Emulator
