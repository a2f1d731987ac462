#include "Haptics/Teleoperation.h"

#include <cmath>
#include <limits>

#include "Haptics/Loop/ForceLimit.h"
#include "Haptics/Loop/PassivityController.h"
#include "Haptics/Loop/LatencyHistogram.h"
#include "Haptics/MonotonicClock.h"
#include "TeleoperationChannel.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

bool gain(double value) { return std::isfinite(value) && value >= 0; }

// The most allowance a side keeps: enough for an arm held at the largest force to give way by a
// millimetre without a cut, little enough that an oscillation the delay would feed finds only
// this much to draw on. Beyond it, the allowance goes back to the other side. An arm held against
// the other side's wall jitters by microns: half of that work enters here and becomes the other
// side's allowance, the other half drains this side's; kept up to 50 mJ, what the follower got
// on the way to the wall never came back, and in 2 runs of 15 the leader ran dry within seconds
// and had its force cut and restored.
constexpr double kept_allowance_j = 0.01;
// N a cut force may grow back by each cycle: back to 10 N in a twentieth of a second. Slower, the
// spring that pulls the arms together once the hand lets go stays held down while the
// controller still acts now and then, and leaves them millimetres apart (3.8 mm after 60 s at
// 200 ms with 0.05 N, 0.06 mm with 0.2 N).
constexpr double release_n = 0.2;

// What the other side granted this one: the energy that entered at its arm, and what it gave
// back of its own allowance.
double granted(const PeerState& other) { return other.energy_in + other.energy_returned; }

}  // namespace

std::string TeleoperationSettings::problem() const {
  if (role != TeleoperationRole::leader && role != TeleoperationRole::follower)
    return "role must be leader or follower";
  if (std::string why = endpoint.problem(); !why.empty()) return why;
  if (!gain(stiffness)) return "stiffness must be finite and not negative";
  if (!gain(damping)) return "damping must be finite and not negative";
  if (!(std::isfinite(max_force) && max_force > 0)) return "max_force must be finite and positive";
  if (!(std::isfinite(lost_after_s) && lost_after_s > 0 && lost_after_s <= 10))
    return "lost_after_s must be in (0, 10]";
  if (const char* why = emulation.problem()) return why;
  return {};
}

struct Teleoperation::State {
  TeleoperationSettings settings;
  std::unique_ptr<TeleoperationChannel> channel;
  PassivityController passivity{PassivityController::InFlight::counted, release_n};

  // The loop's own.
  std::uint64_t number = 0;
  DeliveredPeer peer{};
  bool have_peer = false;
  double credited_peer = 0;  // what the other side granted (see granted()), credited so far
  double strength = 0;       // 0..1: the force fades out when the other side falls silent
  // Set when a sample is taken up or the other side comes back from a silence (see caught_up()).
  bool catching_up = false;
  Vector3d last_force{};     // rendered last cycle
  double energy_in = 0, energy_out = 0, returned = 0;

  // Read by stats() on any thread; published values only: relaxed.
  std::atomic<double> published_in{0}, published_out{0}, published_peer_in{0},
      published_returned{0};
  std::atomic<std::uint64_t> dropped{0};
  LatencyHistogram render_cost;

  explicit State(const TeleoperationSettings& settings) : settings(settings) {}

  // 1 while samples arrive; over the second half of lost_after_s without one, down to 0; back
  // up at the same pace once they come again.
  void fade(std::int64_t now_ns, double dt) {
    const double fading_s = settings.lost_after_s / 2;
    double wanted = 0;
    if (have_peer) {
      const double silent_s = (now_ns - peer.delivered_ns) * 1e-9;
      wanted = std::min(1.0, std::max(0.0, (settings.lost_after_s - silent_s) / fading_s));
    }
    // Back from a silence: the other side may have moved anywhere meanwhile.
    if (strength <= 0 && wanted > 0) catching_up = true;
    strength = wanted < strength ? wanted : std::min(wanted, strength + dt / fading_s);
  }

  // While catching up, the force moves by at most release_n a cycle from the last one rendered,
  // whichever way the coupling now pulls, until it has reached what the coupling asks.
  Vector3d caught_up(const Vector3d& wanted) {
    if (!catching_up) return wanted;
    const Shortened step = stepped_toward(last_force, wanted, release_n);
    catching_up = step.shortened;
    return step.vector;
  }

  Vector3d coupling(const EffectContext& context) const {
    Vector3d force{};
    if (strength <= 0) return force;
    const PeerState& other = peer.state;
    for (std::size_t i = 0; i < 3; ++i)
      force[i] = strength * (settings.stiffness * (other.position[i] - context.position[i]) +
                             settings.damping * (other.velocity[i] - context.velocity[i]));
    return force;
  }

  // The time-domain passivity approach across the channel: the controller's account is the
  // energy that entered at the other arm (as received) less what this arm was given. The energy
  // that entered here is the other side's allowance, so it leaves this side's account before the
  // force is decided. What the account holds beyond kept_allowance_j goes back to the other side
  // (energy reflection), never to be spent here.
  Vector3d passive(const EffectContext& context, const Vector3d& wanted) {
    if (granted(peer.state) > credited_peer) {
      passivity.credit(granted(peer.state) - credited_peer);
      credited_peer = granted(peer.state);
    }
    const double before = passivity.energy_j();
    passivity.observe(context);
    const double step = passivity.energy_j() - before;  // the work this arm's port just finished
    if (step > 0) {
      energy_in += step;
      passivity.credit(-step);
    } else {
      energy_out -= step;
    }
    if (const double surplus = passivity.energy_j() - kept_allowance_j; surplus > 0) {
      returned += surplus;
      passivity.credit(-surplus);
    }
    const Vector3d force = shortened(passivity.filter(context, wanted), settings.max_force).vector;
    passivity.sent(force);
    return force;
  }
};

std::shared_ptr<Teleoperation> Teleoperation::open(const TeleoperationSettings& settings,
                                                   std::string& problem) {
  problem = settings.problem();
  if (!problem.empty()) return nullptr;
  auto state = std::make_unique<State>(settings);
  state->channel = TeleoperationChannel::open(settings, problem);
  if (!state->channel) return nullptr;
  return std::shared_ptr<Teleoperation>(new Teleoperation(std::move(state)));
}

Teleoperation::Teleoperation(std::unique_ptr<State> state) : state(std::move(state)) {}

Teleoperation::~Teleoperation() = default;

const TeleoperationSettings& Teleoperation::settings() const { return state->settings; }

void Teleoperation::begin(const EffectContext&) noexcept {
  // A new run starts a new account on both sides of the link only where it restarts: this side
  // keeps its sums, so the other side's allowance stays true.
  state->passivity.reset();
  state->passivity.credit(state->credited_peer - state->energy_out - state->returned);
  state->strength = 0;
  state->last_force = {};
}

Vector3d Teleoperation::render(const EffectContext& context, const Parameters&) noexcept {
  State& s = *state;
  const std::int64_t started = monotonic_ns();
  DeliveredPeer latest;
  if (s.channel->latest(latest) && latest.state.number != 0) {
    // A sample taken up rather than followed (the first heard, a side started again or another
    // taken up, a new track of its arm): what it granted before was granted to whoever it
    // followed then, so only what it grants from here on is credited; and the force moves
    // towards where it pulls gradually, never in one step.
    if (!s.have_peer || latest.state.run != s.peer.state.run) {
      s.credited_peer = granted(latest.state);
      s.catching_up = true;
    }
    s.peer = latest;
    s.have_peer = true;
  }
  s.fade(started, context.dt);
  const Vector3d force = s.passive(context, s.caught_up(s.coupling(context)));
  s.last_force = force;

  PeerState mine;
  mine.number = ++s.number;
  mine.position = context.position;
  mine.velocity = context.velocity;
  mine.force = force;
  mine.energy_in = s.energy_in;
  mine.energy_out = s.energy_out;
  mine.energy_returned = s.returned;
  if (!s.channel->send(mine)) s.dropped.fetch_add(1, std::memory_order_relaxed);
  s.published_in.store(s.energy_in, std::memory_order_relaxed);
  s.published_out.store(s.energy_out, std::memory_order_relaxed);
  s.published_peer_in.store(s.peer.state.energy_in, std::memory_order_relaxed);
  s.published_returned.store(s.returned, std::memory_order_relaxed);
  s.render_cost.record(monotonic_ns() - started);
  return force;
}

bool Teleoperation::proxy(Vector3d& point) const noexcept {
  if (!state->have_peer || state->strength <= 0) return false;
  point = state->peer.state.position;
  return true;
}

TeleoperationStats Teleoperation::stats() const {
  const State& s = *state;
  TeleoperationStats stats;
  stats.sent = s.channel->sent();
  stats.received = s.channel->received();
  stats.ignored = s.channel->ignored();
  stats.implausible = s.channel->implausible();
  stats.emulated_lost = s.channel->emulated_lost();
  stats.send_dropped = s.dropped.load(std::memory_order_relaxed);
  stats.latency_p50_us = s.channel->latency().quantile_us(0.5);
  stats.latency_p99_us = s.channel->latency().quantile_us(0.99);
  stats.latency_max_us = s.channel->latency().max_us();
  stats.render_p99_us = s.render_cost.quantile_us(0.99);
  stats.render_max_us = s.render_cost.max_us();
  stats.energy_in_j = s.published_in.load(std::memory_order_relaxed);
  stats.energy_out_j = s.published_out.load(std::memory_order_relaxed);
  stats.peer_energy_in_j = s.published_peer_in.load(std::memory_order_relaxed);
  stats.energy_returned_j = s.published_returned.load(std::memory_order_relaxed);
  stats.passivity_cycles = s.passivity.cycles_acted();
  DeliveredPeer peer;
  if (s.channel->latest(peer) && peer.state.number != 0) {
    stats.peer_age_s = (monotonic_ns() - peer.delivered_ns) * 1e-9;
    stats.peer_present = stats.peer_age_s < s.settings.lost_after_s;
  }
  return stats;
}

}  // namespace Orvex::HardwareAPI::Haptics
