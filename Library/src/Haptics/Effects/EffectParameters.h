#pragma once

// How the effects lay their values out in an Effect's parameter record, and what they accept.

#include <cmath>
#include <cstddef>

#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Haptics::EffectParameters {

using Parameters = Effect::Parameters;

inline Vector3d vector_at(const Parameters& parameters, std::size_t offset) {
  return {parameters[offset], parameters[offset + 1], parameters[offset + 2]};
}

inline void put_vector(Parameters& parameters, std::size_t offset, const Vector3d& vector) {
  for (std::size_t i = 0; i < 3; ++i) parameters[offset + i] = vector[i];
}

inline bool finite(const Vector3d& vector) {
  return std::isfinite(vector[0]) && std::isfinite(vector[1]) && std::isfinite(vector[2]);
}

// Stiffness, damping and damper coefficients.
inline bool valid_gain(double gain) { return std::isfinite(gain) && gain >= 0; }

inline double dot(const Vector3d& a, const Vector3d& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

}  // namespace Orvex::HardwareAPI::Haptics::EffectParameters
