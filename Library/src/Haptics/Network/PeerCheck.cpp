#include "PeerCheck.h"

#include <cmath>

namespace Orvex::HardwareAPI::Haptics {

namespace {

bool sum(double joules) { return std::isfinite(joules) && joules >= 0; }

bool finite(const Vector3d& v) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

}  // namespace

void PeerCheck::forget() {
  in_run = false;
  motion.forget();
}

PeerCheck::Verdict PeerCheck::accept(const PeerState& state, std::int64_t sent_ns) {
  if (!finite(state.force) || !sum(state.energy_in) || !sum(state.energy_out) ||
      !sum(state.energy_returned))
    return Verdict::refused;
  if (in_run && state.number == number) return Verdict::refused;  // a sample no sender repeats
  const bool restarted = !in_run || state.number < number;
  if (restarted) motion.forget();
  if (!restarted) {
    const double granted = state.energy_in + state.energy_returned;
    const double elapsed_s = sent_ns > first_sent_ns ? (sent_ns - first_sent_ns) / 1e9 : 0.0;
    const double reach =
        power_limit_w * (elapsed_s + ReplyCheck::timing_uncertainty_s) + energy_noise_j;
    if (state.energy_in < last.energy_in || state.energy_out < last.energy_out ||
        state.energy_returned < last.energy_returned || granted - first_granted_j > reach)
      return Verdict::refused;
  }
  // Positions and speeds last: a refusal there is remembered as a track to be confirmed.
  if (!motion.accept_sample(state.position, state.velocity, sent_ns)) return Verdict::refused;
  last = state;
  number = state.number;
  if (restarted) {
    in_run = true;
    first_granted_j = state.energy_in + state.energy_returned;
    first_sent_ns = sent_ns;
  }
  return motion.began_track() ? Verdict::taken_up : Verdict::accepted;
}

}  // namespace Orvex::HardwareAPI::Haptics
