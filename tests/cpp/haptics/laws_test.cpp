// The user's laws as the loop thread renders them: Expression and NativeEffect give their law at
// the cycle's context, keep state between cycles and start it afresh when they begin, take
// live parameters whole, refuse what they cannot run, and allocate nothing while rendering.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "Haptics/NativeEffect.h"
#ifdef ORVEX_EXPRESSIONS
#include "Haptics/Expression.h"
#endif

// Allocations are counted on the thread that renders, marked as such.
namespace {
std::atomic<std::size_t> rendering_allocations{0};
thread_local bool rendering_thread = false;
}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (rendering_thread) ++rendering_allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using namespace Orvex::HardwareAPI::Haptics;

EffectContext context_at(std::uint64_t cycle) {
  EffectContext context;
  context.position = {0.01, -0.02, 0.005};
  context.velocity = {0.3, 0.1, -0.2};
  context.time = 0.001 * static_cast<double>(cycle);
  context.dt = 0.001;
  context.cycle = cycle;
  return context;
}

// As a loop thread would: begins the effect, renders `cycles` cycles; returns the last force and
// the allocations made meanwhile.
std::pair<Vector3d, std::size_t> render_on_a_thread(Effect& effect, std::uint64_t cycles) {
  Vector3d force{};
  std::size_t allocations = 0;
  std::thread([&] {
    const Effect::Parameters none{};
    rendering_thread = true;
    const std::size_t before = rendering_allocations;
    effect.begin(context_at(1));
    for (std::uint64_t cycle = 1; cycle <= cycles; ++cycle)
      force = effect.render(context_at(cycle), none);
    allocations = rendering_allocations - before;
    rendering_thread = false;
  }).join();
  return {force, allocations};
}

extern "C" void damped_counter(const orvex_effect_input* input, const double* parameters,
                               double* state, double* force) {
  state[0] += 1;
  force[0] = -parameters[0] * input->velocity[0];
  force[1] = input->time + input->dt + static_cast<double>(input->cycle);
  force[2] = state[0];
}

std::shared_ptr<NativeEffect> native(orvex_effect_function function, std::vector<double> params,
                                     std::size_t state_size, std::string& error) {
  return NativeEffect::create(function, params, state_size, error);
}

TEST(NativeEffect, CallsItsFunctionWithTheCycleItsParametersAndItsOwnState) {
  std::string error;
  const auto effect = native(&damped_counter, {4.0}, 1, error);
  ASSERT_TRUE(effect) << error;
  auto [force, allocations] = render_on_a_thread(*effect, 50);
  EXPECT_DOUBLE_EQ(force[0], -4.0 * 0.3);
  EXPECT_DOUBLE_EQ(force[1], 0.050 + 0.001 + 50);
  EXPECT_EQ(force[2], 50.0);
  EXPECT_EQ(allocations, 0u);
  EXPECT_TRUE(effect->live_parameters().set(0, 2.0));
  std::tie(force, allocations) = render_on_a_thread(*effect, 3);
  EXPECT_DOUBLE_EQ(force[0], -2.0 * 0.3);
  EXPECT_EQ(force[2], 3.0);  // begun afresh
  EXPECT_FALSE(effect->shareable());
}

int not_code = 0;

TEST(NativeEffect, RefusesWhatItCannotCallOrHold) {
  struct Case {
    orvex_effect_function function;
    std::vector<double> params;
    std::size_t state_size;
    const char* error;
  };
  const Case cases[] = {
      {nullptr, {}, 0, "address is 0"},
      {reinterpret_cast<orvex_effect_function>(&not_code), {}, 0, "no executable code"},
      {&damped_counter, std::vector<double>(17, 0.0), 0, "at most 16"},
      {&damped_counter, {1.0, NAN}, 0, "finite"},
      {&damped_counter, {}, NativeEffect::max_state + 1, "state_size"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(native(c.function, c.params, c.state_size, error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

#ifdef ORVEX_EXPRESSIONS

std::shared_ptr<Expression> expression(const Expression::Definition& definition) {
  std::string error;
  auto law = Expression::create(definition, error);
  EXPECT_TRUE(law) << error;
  return law;
}

TEST(Expression, EvaluatesItsLawAtTheCycleWithStateAndParameters) {
  const auto law = expression({{"-b*vx + 0*x", "s = 0.5*s + 0.5*vy, s", "n = n + 1, t + dt + z*0"},
                               {{"b", 2.0}},
                               {{"s", 0.0}, {"n", 10.0}}});
  auto [force, allocations] = render_on_a_thread(*law, 40);
  EXPECT_DOUBLE_EQ(force[0], -2.0 * 0.3);
  EXPECT_NEAR(force[1], 0.1, 1e-9);  // the filter has settled on vy
  EXPECT_DOUBLE_EQ(force[2], 0.040 + 0.001);
  EXPECT_EQ(law->state()[1], 50.0);
  EXPECT_EQ(allocations, 0u);

  const LawParameters::Change change{law->parameter_index("b"), 5.0};
  EXPECT_TRUE(law->live_parameters().set(&change, 1));
  std::tie(force, allocations) = render_on_a_thread(*law, 1);
  EXPECT_DOUBLE_EQ(force[0], -5.0 * 0.3);
  EXPECT_EQ(law->state()[1], 11.0);  // begun afresh from the initial value
  EXPECT_EQ(law->parameter_index("nope"), 1u);
}

TEST(Expression, NamesTheExpressionAndWhereItIsWrong) {
  struct Case {
    Expression::Definition definition;
    const char* error;
  };
  const Case cases[] = {
      {{{"0", "k*y", "0"}}, "fy \"k*y\": unknown name \"k\" at position 0"},
      {{{"0", "0", "x + floorr(y)"}}, "fz \"x + floorr(y)\": unknown name \"floorr\" at position 4"},
      {{{"0", "0", "(x"}}, "fz \"(x\": Missing parenthesis"},
      {{{"0", "0", "0"}, {{"t", 1.0}}}, "\"t\" is one the loop gives"},
      {{{"0", "0", "0"}, {{"a", 1.0}}, {{"a", 1.0}}}, "\"a\" is given twice"},
      {{{"0", "0", "0"}, {}, {{"s", NAN}}}, "\"s\" must be finite"},
      {{{"0", "0", "0"}, {{"no good", 1.0}}}, "not a valid name"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(Expression::create(c.definition, error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

struct FunctionCase {
  const char* text;
  double value;
};

class ExpressionFunctions : public ::testing::TestWithParam<FunctionCase> {};

TEST_P(ExpressionFunctions, EvaluateOnTheLoopThreadWithoutAllocating) {
  const auto law = expression({{GetParam().text, "0", "0"}});
  auto [force, allocations] = render_on_a_thread(*law, 3);
  EXPECT_DOUBLE_EQ(force[0], GetParam().value) << GetParam().text;
  EXPECT_EQ(allocations, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    BeyondMuparsers, ExpressionFunctions,
    ::testing::Values(FunctionCase{"floor(-1.5)", -2}, FunctionCase{"ceil(-1.5)", -1},
                      FunctionCase{"round(2.5)", 3}, FunctionCase{"round(-2.5)", -3},
                      FunctionCase{"sign(-0.3)", -1}, FunctionCase{"clamp(5, 0, 2)", 2},
                      FunctionCase{"clamp(-5, 0, 2)", 0}, FunctionCase{"clamp(1, 2, 0)", 2},
                      FunctionCase{"_pi", 3.14159265358979323846},
                      FunctionCase{"_e", 2.71828182845904523536}));

TEST(Expression, AResultThatIsNotANumberIsPassedOnForTheLoopToRefuse) {
  const auto law = expression({{"sqrt(-1)", "1/0", "0"}});
  const auto [force, allocations] = render_on_a_thread(*law, 2);
  EXPECT_TRUE(std::isnan(force[0]));
  EXPECT_TRUE(std::isinf(force[1]));
  EXPECT_EQ(allocations, 0u);
}

#endif  // ORVEX_EXPRESSIONS

}  // namespace
