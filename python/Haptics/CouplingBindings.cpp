// Couplings as Python sees them: Coupling to a target the application moves, Bilateral between
// two loops' arms.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

#include "Bindings.h"
#include "Haptics/Bilateral.h"
#include "Haptics/Coupling.h"
#include "VectorArgument.h"

namespace Orvex::HardwareAPI::Python {

namespace {

namespace py = pybind11;
using namespace Haptics;

const char* hold_name(Hold hold) {
  switch (hold) {
    case Hold::zero: return "zero";
    case Hold::interpolate: return "interpolate";
    case Hold::linear: break;
  }
  return "linear";
}

Hold hold_named(const std::string& name) {
  for (const Hold hold : {Hold::linear, Hold::zero, Hold::interpolate})
    if (name == hold_name(hold)) return hold;
  throw py::value_error("hold must be \"linear\", \"zero\" or \"interpolate\", not \"" + name + "\"");
}

// coupling.set(stiffness=..., damping=..., max_force=...): those given change, in one step; a
// max_force of None lifts the limit.
void set_gains(Coupling& self, const py::kwargs& values) {
  CouplingGains gains = self.gains();
  for (const auto& [key, value] : values) {
    const std::string name = py::cast<std::string>(key);
    if (name == "stiffness") {
      gains.stiffness = py::cast<double>(value);
    } else if (name == "damping") {
      gains.damping = py::cast<double>(value);
    } else if (name == "max_force") {
      gains.max_force = value.is_none() ? std::nullopt : std::optional<double>(py::cast<double>(value));
    } else {
      throw py::type_error("set() takes stiffness, damping and max_force, not " + name);
    }
  }
  if (const char* problem = gains.problem()) throw py::value_error(problem);
  require(self.set_gains(gains), "a coupling made with refused settings has no gains to change");
}

// One gain's property: read now, set on its own (still one whole change).
template <class Field>
void bind_gain(py::class_<Coupling, Effect, std::shared_ptr<Coupling>>& coupling, const char* name,
               Field field) {
  coupling.def_property(
      name, [field](const Coupling& c) { return c.gains().*field; },
      [name](Coupling& c, py::object value) {
        py::dict one;
        one[name] = value;
        set_gains(c, py::kwargs(one));
      },
      "Settable while the loop runs: the next cycle renders it");
}

std::shared_ptr<Coupling> coupling(double stiffness, std::optional<double> damping,
                                   std::optional<double> mass, const std::string& hold,
                                   std::optional<double> max_force) {
  CouplingSettings settings;
  settings.stiffness = stiffness;
  settings.damping = damping;
  settings.mass = mass;
  settings.hold = hold_named(hold);
  settings.max_force = max_force;
  if (const char* problem = settings.problem()) throw py::value_error(problem);
  return std::make_shared<Coupling>(settings);
}

void update(Coupling& self, py::handle position, py::handle velocity, std::optional<double> time) {
  std::optional<Vector3d> given_velocity;
  if (!velocity.is_none()) given_velocity = vector_argument(velocity, "velocity");
  require(self.update(vector_argument(position, "position"), given_velocity, time),
          "position, velocity and time must be finite");
}

py::dict take_force(Coupling& self) {
  const CouplingReaction reaction = self.take_force();
  py::dict result;
  result["force"] = reaction.force;
  result["cycles"] = reaction.cycles;
  result["span_s"] = reaction.span_s;
  return result;
}

// Holds a Python object for as long as an effect that reads it lives; the last holder may let go
// on any thread, so the reference is dropped under the interpreter lock.
std::shared_ptr<const void> keeper(py::handle object) {
  object.inc_ref();
  return std::shared_ptr<const void>(object.ptr(), [](const void* held) {
    py::gil_scoped_acquire locked;
    Py_DECREF(static_cast<PyObject*>(const_cast<void*>(held)));
  });
}

std::unique_ptr<Bilateral> bilateral(py::handle loop_a, py::handle loop_b, double stiffness,
                                     double damping) {
  const ServoLoop& a = servo_loop_in(loop_a, "loop_a");
  const ServoLoop& b = servo_loop_in(loop_b, "loop_b");
  if (const char* problem = Bilateral::problem(a, b, stiffness, damping))
    throw py::value_error(problem);
  return std::make_unique<Bilateral>(a, b, stiffness, damping, keeper(loop_b), keeper(loop_a));
}

}  // namespace

void bind_couplings(py::module_& module) {
  py::class_<Coupling, Effect, std::shared_ptr<Coupling>> coupling_class(
      module, "Coupling",
      "F = stiffness (target - x) + damping (target velocity - v), the target moved by update() "
      "and held between updates");
  coupling_class
      .def(py::init(&coupling), py::arg("stiffness"), py::arg("damping") = py::none(),
           py::kw_only(), py::arg("mass") = py::none(), py::arg("hold") = "linear",
           py::arg("max_force") = py::none())
      .def("update", &update, py::arg("position"), py::arg("velocity") = py::none(),
           py::arg("time") = py::none(),
           "Move the target; time on the layer's clock (OrvexHaptics.now(), as trace times), else "
           "now")
      .def("take_force", &take_force,
           "The mean force the arm exerted on the target since the previous call")
      .def("set", &set_gains,
           "Change stiffness, damping and max_force (None: no limit) in one step, also while "
           "the loop runs: no cycle renders half of the change")
      .def_property_readonly("mass", [](const Coupling& c) { return c.settings().mass; })
      .def_property_readonly("hold", [](const Coupling& c) { return hold_name(c.settings().hold); });
  bind_gain(coupling_class, "stiffness", &CouplingGains::stiffness);
  bind_gain(coupling_class, "damping", &CouplingGains::damping);
  bind_gain(coupling_class, "max_force", &CouplingGains::max_force);

  py::class_<Bilateral>(module, "Bilateral",
                        "Two loops' arms held together by a spring-damper, rendered natively")
      .def(py::init(&bilateral), py::arg("loop_a"), py::arg("loop_b"), py::arg("stiffness"),
           py::arg("damping") = 0.0)
      .def_property_readonly(
          "effects",
          [](const Bilateral& self) {
            return py::make_tuple(self.effect_for_a(), self.effect_for_b());
          },
          "(effect for loop_a, effect for loop_b)");
}

}  // namespace Orvex::HardwareAPI::Python
