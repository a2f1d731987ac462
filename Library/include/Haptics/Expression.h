#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Haptics/Effect.h"
#include "Haptics/LawParameters.h"
#include "Haptics/Seqlock.h"

namespace Orvex::HardwareAPI::Haptics {

// A force law written as three expressions (muparser's syntax), evaluated on the loop thread
// every cycle, without allocating or locking. An expression may use
//   x y z      the position of the last good reply (m)
//   vx vy vz   its velocity (m/s)
//   t          seconds since the loop started; dt: seconds since the previous cycle
//   the parameters, by name: changed live from any thread (set_parameters), read whole at the
//              start of each cycle
//   the state variables, by name: assigned inside an expression (s = 0.9*s + 0.1*vx, -b*s), they
//              keep their value from cycle to cycle; they start from their initial values each
//              time the effect begins
// and muparser's functions and operators (sqrt, exp, min, max, abs, sin, c ? a : b, ...). An
// expression's value is the last of its comma-separated parts; fx is evaluated before fy, and
// fy before fz. An expression that evaluates to a value that is not finite makes the loop send
// zero (and count it).
class Expression : public Effect {
 public:
  static constexpr std::size_t max_parameters = LawParameters::capacity;
  static constexpr std::size_t max_state = 16;
  using Values = std::array<double, max_state>;
  using Named = std::vector<std::pair<std::string, double>>;

  struct Definition {
    std::array<std::string, 3> force{};  // fx, fy, fz
    Named parameters{};
    Named state{};  // initial values
  };

  // The law, or null with the reason in `error` (naming the expression and the position of a
  // syntax error or an unknown name, or the name or value refused).
  static std::shared_ptr<Expression> create(const Definition& definition, std::string& error);
  ~Expression() override;

  const std::vector<std::string>& parameter_names() const { return live.names(); }
  const std::vector<std::string>& state_names() const { return names.state; }
  // The index of a parameter's name, or parameter_names().size() when it has none.
  std::size_t parameter_index(const std::string& name) const { return live.index(name); }

  // Any thread: the live parameters, by index in parameter_names().
  LawParameters& live_parameters() { return live; }
  const LawParameters& live_parameters() const { return live; }
  // Any thread: the state values as of the last cycle rendered (the initial ones before), in the
  // order of state_names().
  Values state() const { return published_state.load(); }

  Vector3d render(const EffectContext& context, const Parameters&) noexcept override;
  void begin(const EffectContext&) noexcept override;
  bool shareable() const noexcept override { return false; }

 private:
  struct Evaluator;  // muparser's parsers and the variables they are bound to
  struct Names {
    std::vector<std::string> parameters, state;
  };

  Expression(std::unique_ptr<Evaluator> evaluator, Names names,
             const LawParameters::Values& parameters, const Values& initial_state);

  std::unique_ptr<Evaluator> evaluator;  // loop thread only, once created
  const Names names;
  const Values initial_state;
  LawParameters live;
  Seqlock<Values> published_state;  // written by the loop thread alone
};

}  // namespace Orvex::HardwareAPI::Haptics
