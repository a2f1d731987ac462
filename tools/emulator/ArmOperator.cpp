#include "ArmOperator.h"

#include "HandControl.h"
#include "HandFigures.h"

namespace Orvex::Emulator {

ArmOperator::ArmOperator(const DeviceOptions& device, CorvaneModel& arm_, double now_s)
    : arm(arm_), next_tick(now_s) {
  // The hand starts off the arm, with a relaxed grip's impedance for when it takes hold.
  arm.hand() = Grip{std::nullopt, {}, HandFigures::relaxed_stiffness, HandFigures::relaxed_damping};
  if (device.hand) {
    script.emplace(HandScript::read(*device.hand, device.hand_loop));
    arm.hand() = script->at(0);
  }
  if (device.control) control.emplace(*device.control);
  if (device.truth) truth.emplace(*device.truth);
  arm.advance_to(now_s);
}

void ArmOperator::host_started(double now_s) {
  if (!script_start_s) script_start_s = now_s;
}

void ArmOperator::tick(double now_s) {
  while (next_tick <= now_s) {
    if (script && script_start_s) arm.hand() = script->at(next_tick - *script_start_s);
    arm.advance_to(next_tick);
    if (truth) truth->write(next_tick, arm);
    next_tick += tick_s;
  }
}

void ArmOperator::watch(std::vector<pollfd>& fds) const {
  if (control) control->watch(fds);
}

void ArmOperator::serve(const pollfd* fds, double now_s) {
  if (!control) return;
  control->serve(fds, [this, now_s](const std::string& line) {
    tick(now_s);
    arm.advance_to(now_s);
    return answer_control(line, arm, now_s);
  });
}

}  // namespace Orvex::Emulator
