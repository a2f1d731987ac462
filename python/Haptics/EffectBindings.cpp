// The effects as Python sees them: keyword-capable constructors and read/write attributes of
// the same names. An effect is shared with every loop it was added to, so a change made here
// reaches the running loops on their next cycle.

#include "EffectBindings.h"

#include <pybind11/stl.h>

#include <memory>
#include <string>

#include "Haptics/ConstantForce.h"
#include "Haptics/Damper.h"
#include "Haptics/Effect.h"
#include "Haptics/Spring.h"
#include "Haptics/Wall.h"
#include "VectorArgument.h"

namespace Orvex::HardwareAPI::Python {

namespace {

namespace py = pybind11;
using namespace Haptics;

template <class Kind>
using EffectClass = py::class_<Kind, Effect, std::shared_ptr<Kind>>;

constexpr const char* finite_rule = " needs three finite numbers";
constexpr const char* normal_rule = " needs three finite numbers, not all zero";
constexpr const char* gain_rule = " must be finite and not negative";

// A value through the effect's checked setter: refused, it raises instead of being dropped.
template <class Kind>
void assign_vector(Kind& effect, bool (Kind::*set)(const Vector3d&), py::handle value,
                   const char* name, const char* rule) {
  require((effect.*set)(vector_argument(value, name)), std::string(name) + rule);
}

template <class Kind>
void assign_gain(Kind& effect, bool (Kind::*set)(double), double value, const char* name) {
  require((effect.*set)(value), std::string(name) + gain_rule);
}

// Each attribute of an effect: its getter and its checked setter under one name.
template <class Kind>
void vector_attribute(EffectClass<Kind>& cls, const char* name, Vector3d (Kind::*get)() const,
                      bool (Kind::*set)(const Vector3d&), const char* rule = finite_rule) {
  cls.def_property(name, get, [=](Kind& effect, py::handle value) {
    assign_vector(effect, set, value, name, rule);
  });
}

template <class Kind>
void gain_attribute(EffectClass<Kind>& cls, const char* name, double (Kind::*get)() const,
                    bool (Kind::*set)(double)) {
  cls.def_property(name, get,
                   [=](Kind& effect, double value) { assign_gain(effect, set, value, name); });
}

std::shared_ptr<Spring> spring(py::handle anchor, double stiffness, double damping) {
  auto effect = std::make_shared<Spring>();
  assign_vector(*effect, &Spring::set_anchor, anchor, "anchor", finite_rule);
  assign_gain(*effect, &Spring::set_stiffness, stiffness, "stiffness");
  assign_gain(*effect, &Spring::set_damping, damping, "damping");
  return effect;
}

std::shared_ptr<Damper> damper(double coefficient) {
  auto effect = std::make_shared<Damper>();
  assign_gain(*effect, &Damper::set_coefficient, coefficient, "coefficient");
  return effect;
}

std::shared_ptr<ConstantForce> constant_force(py::handle force) {
  auto effect = std::make_shared<ConstantForce>();
  assign_vector(*effect, &ConstantForce::set_force, force, "force", finite_rule);
  return effect;
}

std::shared_ptr<Wall> wall(py::handle point, py::handle normal, double stiffness,
                           double damping) {
  auto effect = std::make_shared<Wall>();
  assign_vector(*effect, &Wall::set_point, point, "point", finite_rule);
  assign_vector(*effect, &Wall::set_normal, normal, "normal", normal_rule);
  assign_gain(*effect, &Wall::set_stiffness, stiffness, "stiffness");
  assign_gain(*effect, &Wall::set_damping, damping, "damping");
  return effect;
}

}  // namespace

void bind_effects(py::module_& module) {
  py::class_<Effect, std::shared_ptr<Effect>>(module, "Effect",
                                              "A force field a ServoLoop adds up each cycle");

  EffectClass<Spring> spring_class(module, "Spring",
                                   "F = -stiffness (x - anchor) - damping v");
  spring_class.def(py::init(&spring), py::arg("anchor"), py::arg("stiffness"),
                   py::arg("damping") = 0.0);
  vector_attribute(spring_class, "anchor", &Spring::anchor, &Spring::set_anchor);
  gain_attribute(spring_class, "stiffness", &Spring::stiffness, &Spring::set_stiffness);
  gain_attribute(spring_class, "damping", &Spring::damping, &Spring::set_damping);

  EffectClass<Damper> damper_class(module, "Damper", "F = -coefficient v");
  damper_class.def(py::init(&damper), py::arg("coefficient"));
  gain_attribute(damper_class, "coefficient", &Damper::coefficient, &Damper::set_coefficient);

  EffectClass<ConstantForce> constant_class(module, "ConstantForce", "F = force");
  constant_class.def(py::init(&constant_force), py::arg("force"));
  vector_attribute(constant_class, "force", &ConstantForce::force, &ConstantForce::set_force);

  EffectClass<Wall> wall_class(
      module, "Wall",
      "With n the unit normal and d = (x - point) . n: no force while d >= 0, else "
      "F = s n with s = -stiffness d - damping (v . n), and no force when s < 0");
  wall_class.def(py::init(&wall), py::arg("point"), py::arg("normal"), py::arg("stiffness"),
                 py::arg("damping") = 0.0);
  vector_attribute(wall_class, "point", &Wall::point, &Wall::set_point);
  vector_attribute(wall_class, "normal", &Wall::normal, &Wall::set_normal, normal_rule);
  gain_attribute(wall_class, "stiffness", &Wall::stiffness, &Wall::set_stiffness);
  gain_attribute(wall_class, "damping", &Wall::damping, &Wall::set_damping);
}

}  // namespace Orvex::HardwareAPI::Python
