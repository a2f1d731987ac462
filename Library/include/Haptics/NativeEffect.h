#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Haptics/Effect.h"
#include "Haptics/LawParameters.h"
#include "Haptics/orvex_effect.h"

namespace Orvex::HardwareAPI::Haptics {

// A force law that is a C function (orvex_effect.h), called by the loop thread once per cycle
// with the cycle's input, its live parameters and a state of its own. The function runs in the
// loop thread: a crash in it ends the process.
class NativeEffect : public Effect {
 public:
  static constexpr std::size_t max_parameters = LawParameters::capacity;
  static constexpr std::size_t max_state = 1024;

  // The effect, or null with the reason in `error`: a null function, or an address that is not
  // in executable memory (checked where the system tells), too many parameters or one that is not
  // finite, too large a state, names that are not one each (LawParameters::names_problem). The
  // function is never called here.
  static std::shared_ptr<NativeEffect> create(orvex_effect_function function,
                                              const std::vector<double>& parameters,
                                              std::size_t state_size, std::string& error,
                                              std::vector<std::string> names = {});

  orvex_effect_function function() const { return law_function; }
  std::size_t state_size() const { return state_count; }
  // Any thread: the live parameters, by index (and by name when they have names).
  LawParameters& live_parameters() { return live; }
  const LawParameters& live_parameters() const { return live; }

  Vector3d render(const EffectContext& context, const Parameters&) noexcept override;
  void begin(const EffectContext&) noexcept override;
  bool shareable() const noexcept override { return false; }

 private:
  NativeEffect(orvex_effect_function function, const LawParameters::Values& parameters,
               std::size_t parameter_count, std::vector<std::string> names,
               std::size_t state_size);

  const orvex_effect_function law_function;
  const std::size_t state_count;
  LawParameters live;
  // Loop thread only: the parameters last read whole, and the function's state (at least one
  // element, so that its address is always valid).
  LawParameters::Values parameters_read{};
  std::unique_ptr<double[]> state;
};

}  // namespace Orvex::HardwareAPI::Haptics
