/* A magnetic snap point as a native law for OrvexHaptics.NativeEffect: a pull towards the point
 * that grows as the hand comes near, then fades to nothing at the point itself, and is absent
 * beyond the radius. Parameters: px, py, pz (the point, m), k (N/m), r (the radius, m).
 *
 *   F = -k (x - p) (1 - d / r)  where d = |x - p| < r, else 0
 *
 * Built as a shared library and loaded with ctypes (see custom_laws.py). */
#include <math.h>

#include "orvex_effect.h"

void snap_point(const orvex_effect_input* input, const double* parameters, double* state,
                double* force) {
  (void)state;
  double offset[3];
  double squared = 0;
  for (int i = 0; i < 3; ++i) {
    offset[i] = input->position[i] - parameters[i];
    squared += offset[i] * offset[i];
  }
  const double distance = sqrt(squared), radius = parameters[4];
  if (!(distance < radius)) return;
  const double gain = -parameters[3] * (1.0 - distance / radius);
  for (int i = 0; i < 3; ++i) force[i] = gain * offset[i];
}
