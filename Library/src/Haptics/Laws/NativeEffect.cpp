#include "Haptics/NativeEffect.h"

#include <algorithm>
#include <cmath>

#include "ExecutableAddress.h"

namespace Orvex::HardwareAPI::Haptics {

std::shared_ptr<NativeEffect> NativeEffect::create(orvex_effect_function function,
                                                   const std::vector<double>& parameters,
                                                   std::size_t state_size, std::string& error,
                                                   std::vector<std::string> names) {
  const auto address = reinterpret_cast<std::uintptr_t>(function);
  if (!function) {
    error = "the function's address is 0";
  } else if (executable_address(address) == AddressKind::not_executable) {
    error = "no executable code at the function's address";
  } else if (parameters.size() > max_parameters) {
    error = "at most " + std::to_string(max_parameters) + " parameters";
  } else if (!std::all_of(parameters.begin(), parameters.end(),
                          [](double value) { return std::isfinite(value); })) {
    error = "parameters must be finite";
  } else if (state_size > max_state) {
    error = "state_size is at most " + std::to_string(max_state);
  } else if (const char* problem = LawParameters::names_problem(names, parameters.size())) {
    error = problem;
  } else {
    LawParameters::Values first{};
    std::copy(parameters.begin(), parameters.end(), first.begin());
    return std::shared_ptr<NativeEffect>(
        new NativeEffect(function, first, parameters.size(), std::move(names), state_size));
  }
  return nullptr;
}

NativeEffect::NativeEffect(orvex_effect_function function, const LawParameters::Values& parameters,
                           std::size_t parameter_count, std::vector<std::string> names,
                           std::size_t state_size)
    : law_function(function),
      state_count(state_size),
      live(parameters, parameter_count, std::move(names)),
      parameters_read(parameters),
      state(new double[std::max<std::size_t>(1, state_size)]()) {}

void NativeEffect::begin(const EffectContext&) noexcept {
  std::fill_n(state.get(), std::max<std::size_t>(1, state_count), 0.0);
}

Vector3d NativeEffect::render(const EffectContext& context, const Parameters&) noexcept {
  // Whole or not at all: a change being written this instant is read at the next cycle.
  live.try_read(parameters_read);
  orvex_effect_input input{};
  for (std::size_t i = 0; i < 3; ++i) {
    input.position[i] = context.position[i];
    input.velocity[i] = context.velocity[i];
  }
  input.time = context.time;
  input.dt = context.dt;
  input.cycle = context.cycle;
  double force[3] = {0, 0, 0};
  law_function(&input, parameters_read.data(), state.get(), force);
  return {force[0], force[1], force[2]};
}

}  // namespace Orvex::HardwareAPI::Haptics
