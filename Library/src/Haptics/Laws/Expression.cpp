#include "Haptics/Expression.h"

#include <muParser.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "ExpressionFunctions.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

constexpr const char* axis_names[3] = {"fx", "fy", "fz"};
constexpr const char* cycle_names[8] = {"x", "y", "z", "vx", "vy", "vz", "t", "dt"};

bool is_cycle_name(const std::string& name) {
  return std::find(std::begin(cycle_names), std::end(cycle_names), name) != std::end(cycle_names);
}

// Refuses a list of names with values: too many, a name the loop gives or given twice, a value
// not finite. Returns the reason, empty when none.
std::string refusal(const char* kind, const Expression::Named& named, std::size_t most,
                    const std::vector<std::string>& taken) {
  if (named.size() > most)
    return std::string("at most ") + std::to_string(most) + " " + kind + " names";
  for (std::size_t i = 0; i < named.size(); ++i) {
    const std::string& name = named[i].first;
    if (is_cycle_name(name))
      return std::string(kind) + " name \"" + name + "\" is one the loop gives (x y z vx vy vz t dt)";
    const bool twice = std::find(taken.begin(), taken.end(), name) != taken.end() ||
                       std::any_of(named.begin(), named.begin() + static_cast<std::ptrdiff_t>(i),
                                   [&](const auto& other) { return other.first == name; });
    if (twice) return "the name \"" + name + "\" is given twice";
    if (!std::isfinite(named[i].second))
      return std::string(kind) + " \"" + name + "\" must be finite";
  }
  return {};
}

std::vector<std::string> names_of(const Expression::Named& named) {
  std::vector<std::string> names;
  for (const auto& [name, value] : named) names.push_back(name);
  return names;
}

}  // namespace

// The parsers hold the addresses of these variables (muparser binds them by address), so the
// evaluator stays where it was made. Only the loop thread touches it once the law is created.
struct Expression::Evaluator {
  struct Variables {
    double cycle[8];  // in the order of cycle_names
    LawParameters::Values parameters;
    Values state;
  } variables{};
  std::array<mu::Parser, 3> force;
};

std::shared_ptr<Expression> Expression::create(const Definition& definition, std::string& error) {
  error = refusal("parameter", definition.parameters, max_parameters, {});
  if (error.empty())
    error = refusal("state", definition.state, max_state, names_of(definition.parameters));
  if (!error.empty()) return nullptr;

  auto evaluator = std::make_unique<Evaluator>();
  auto& variables = evaluator->variables;
  LawParameters::Values parameters{};
  Values initial_state{};
  for (std::size_t i = 0; i < definition.parameters.size(); ++i)
    parameters[i] = variables.parameters[i] = definition.parameters[i].second;
  for (std::size_t i = 0; i < definition.state.size(); ++i)
    initial_state[i] = variables.state[i] = definition.state[i].second;

  for (std::size_t axis = 0; axis < 3; ++axis) {
    mu::Parser& parser = evaluator->force[axis];
    const std::string& text = definition.force[axis];
    try {
      ExpressionFunctions::define(parser);
      for (std::size_t i = 0; i < 8; ++i) parser.DefineVar(cycle_names[i], &variables.cycle[i]);
      for (std::size_t i = 0; i < definition.parameters.size(); ++i)
        parser.DefineVar(definition.parameters[i].first, &variables.parameters[i]);
      for (std::size_t i = 0; i < definition.state.size(); ++i)
        parser.DefineVar(definition.state[i].first, &variables.state[i]);
    } catch (const mu::Parser::exception_type&) {
      error = "a parameter or state name is not a valid name (letters, digits and _, "
              "not starting with a digit)";
      return nullptr;
    }
    try {
      parser.SetExpr(text);
      // The first evaluation parses the text into byte code: done here, so that the loop
      // thread only runs the byte code, which allocates nothing.
      parser.Eval();
    } catch (const mu::Parser::exception_type& problem) {
      error = std::string(axis_names[axis]) + " \"" + text + "\": " +
              ExpressionFunctions::complaint(problem);
      return nullptr;
    }
  }
  Names names{names_of(definition.parameters), names_of(definition.state)};
  return std::shared_ptr<Expression>(
      new Expression(std::move(evaluator), std::move(names), parameters, initial_state));
}

Expression::Expression(std::unique_ptr<Evaluator> evaluator, Names names,
                       const LawParameters::Values& parameters, const Values& initial_state)
    : evaluator(std::move(evaluator)),
      names(std::move(names)),
      initial_state(initial_state),
      live(parameters, this->names.parameters.size(), this->names.parameters),
      published_state(initial_state) {}

Expression::~Expression() = default;

void Expression::begin(const EffectContext&) noexcept {
  evaluator->variables.state = initial_state;
  published_state.store(initial_state);
}

Vector3d Expression::render(const EffectContext& context, const Parameters&) noexcept {
  auto& variables = evaluator->variables;
  for (std::size_t i = 0; i < 3; ++i) {
    variables.cycle[i] = context.position[i];
    variables.cycle[3 + i] = context.velocity[i];
  }
  variables.cycle[6] = context.time;
  variables.cycle[7] = context.dt;
  // Whole or not at all: a change being written this instant leaves last cycle's values, and
  // this cycle's expressions see it at the next.
  live.try_read(variables.parameters);
  Vector3d force{};
  try {
    for (std::size_t axis = 0; axis < 3; ++axis) force[axis] = evaluator->force[axis].Eval();
  } catch (...) {
    // Byte code that parsed does not throw in muparser; should it, the loop sends zero.
    force.fill(std::numeric_limits<double>::quiet_NaN());
  }
  published_state.store(variables.state);
  return force;
}

}  // namespace Orvex::HardwareAPI::Haptics
