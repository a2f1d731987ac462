/* The C interface of a force law that the servo loop calls in its own thread, once per cycle
 * (OrvexHaptics.NativeEffect; Haptics::NativeEffect in C++).
 *
 * The function runs in the loop thread, without the Python interpreter lock: it must return
 * within microseconds, and must not block, allocate, or call into Python. A crash in it ends
 * the process. A force that is not finite is not sent (zero goes out instead, and is counted).
 *
 * For callers that see the input record as an array of doubles (numba.carray): its first eight
 * 8-byte fields are doubles, in this order; the cycle number comes ninth. */
#ifndef ORVEX_EFFECT_H
#define ORVEX_EFFECT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ORVEX_EFFECT_ABI_VERSION 1

/* What the loop knows of this cycle. */
typedef struct orvex_effect_input {
  double position[3]; /* m, of the last good reply */
  double velocity[3]; /* m/s, of the last good reply */
  double time;        /* s since the loop started */
  double dt;          /* s since the previous cycle (the period at the first) */
  uint64_t cycle;     /* this cycle's number, from 0 at each start */
} orvex_effect_input;

/* parameters: the effect's parameters, read-only, as last published whole.
 * state: state_size doubles the function may keep between cycles, zero when the effect begins
 *   (when it is added to a running loop, or the loop starts with it); not valid when state_size
 *   is 0.
 * force: where the function writes the force in N (X, Y, Z); zero on entry. */
typedef void (*orvex_effect_function)(const orvex_effect_input* input, const double* parameters,
                                      double* state, double* force);

#ifdef __cplusplus
}
#endif

#endif /* ORVEX_EFFECT_H */
