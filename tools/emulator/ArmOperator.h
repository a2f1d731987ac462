#pragma once

#include <poll.h>

#include <optional>
#include <vector>

#include "ControlSocket.h"
#include "CorvaneModel.h"
#include "HandScript.h"
#include "Options.h"
#include "TruthLog.h"

namespace Orvex::Emulator {

// The person at one emulated arm: moves the hand by its script or its control socket, and keeps
// the arm's ground truth. It advances the arm every millisecond, so the hand moves it whether or
// not the host speaks. Runs on the event loop's thread.
class ArmOperator {
 public:
  static constexpr double tick_s = 0.001;

  // Throws std::exception naming the option whose file or socket is at fault.
  ArmOperator(const DeviceOptions& device, CorvaneModel& arm, double now_s);

  // The host sent its first command: the script's time starts.
  void host_started(double now_s);

  double next_tick_s() const { return next_tick; }
  // Moves the arm through every millisecond up to now_s, with the hand as it then was.
  void tick(double now_s);

  void watch(std::vector<pollfd>& fds) const;
  void serve(const pollfd* fds, double now_s);
  std::size_t watched() const { return control ? control->watched() : 0; }

 private:
  CorvaneModel& arm;
  std::optional<HandScript> script;
  std::optional<double> script_start_s;
  std::optional<ControlSocket> control;
  std::optional<TruthLog> truth;
  double next_tick;
};

}  // namespace Orvex::Emulator
