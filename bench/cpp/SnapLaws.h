#pragma once

// One law three ways, for the bench: a magnetic snap point (a pull towards a point that grows as
// the hand comes near, then fades to nothing at the point, absent beyond the radius), as an
// expression, as a C function for NativeEffect, and as a C++ effect.
//   F = -k (x - p) (1 - d / r)  where d = |x - p| < r, else 0

#include <array>
#include <memory>

#include "Haptics/Effect.h"
#include "Haptics/orvex_effect.h"

namespace Orvex::Bench {

struct SnapPoint {
  HardwareAPI::Haptics::Vector3d point{0.01, 0.0, 0.0};
  double stiffness = 0.2;  // N/m: small, so that the stand-in's echo of the force stays small
  double radius = 0.01;    // m
};

extern "C" void bench_snap_point(const orvex_effect_input* input, const double* parameters,
                                 double* state, double* force);

// null when this build has no Expression
std::shared_ptr<HardwareAPI::Haptics::Effect> snap_expression(const SnapPoint& snap);
std::shared_ptr<HardwareAPI::Haptics::Effect> snap_native(const SnapPoint& snap);
std::shared_ptr<HardwareAPI::Haptics::Effect> snap_cpp(const SnapPoint& snap);

}  // namespace Orvex::Bench
