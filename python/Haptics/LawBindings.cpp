// Laws of the user's own, rendered by the loop thread without the interpreter: Expression (three
// expression strings) and NativeEffect (a C function), each with its live parameters; and the
// message a Python subclass of Effect gets instead.

#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#ifdef ORVEX_EXPRESSIONS
#include "Haptics/Expression.h"
#endif
#include "Haptics/NativeEffect.h"
#include "Bindings.h"

namespace Orvex::HardwareAPI::Python {

namespace {

namespace py = pybind11;
using namespace Haptics;

constexpr const char* python_subclass_refused =
    "an Effect cannot be written in Python: the loop would take the interpreter lock every "
    "cycle. Write the law as OrvexHaptics.Expression (expression strings) or "
    "OrvexHaptics.NativeEffect (a C function), or subclass Effect in C++";

double finite_value(py::handle value, const std::string& name) {
  const double number = py::float_(py::reinterpret_borrow<py::object>(value));
  if (!std::isfinite(number)) throw py::value_error(name + " must be finite");
  return number;
}

void require_published(bool published, const char* refused) {
  if (!published) throw py::value_error(refused);
}

#ifdef ORVEX_EXPRESSIONS

Expression::Named named_values(const py::object& mapping) {
  Expression::Named named;
  if (mapping.is_none()) return named;
  for (const py::handle item : mapping.attr("items")()) {
    const auto pair = py::reinterpret_borrow<py::tuple>(item);
    named.emplace_back(py::cast<std::string>(pair[0]), py::float_(pair[1]));
  }
  return named;
}

std::shared_ptr<Expression> expression(std::string fx, std::string fy, std::string fz,
                                       const py::object& params, const py::object& state) {
  std::string error;
  auto law = Expression::create(
      {{std::move(fx), std::move(fy), std::move(fz)}, named_values(params), named_values(state)},
      error);
  if (!law) throw py::value_error(error);
  return law;
}

LawParameters::Change expression_change(const Expression& law, const std::string& name,
                                        py::handle value) {
  const std::size_t index = law.parameter_index(name);
  if (index == law.parameter_names().size()) throw py::key_error(name);
  return {index, finite_value(value, name)};
}

// law.params: the parameters by name, each assignment published on its own.
struct ExpressionParameters {
  std::shared_ptr<Expression> law;

  double get(const std::string& name) const {
    const std::size_t index = law->parameter_index(name);
    if (index == law->parameter_names().size()) throw py::key_error(name);
    return law->live_parameters().values()[index];
  }
  void set(const std::string& name, py::handle value) {
    const LawParameters::Change change = expression_change(*law, name, value);
    require_published(law->live_parameters().set(&change, 1), "parameter refused");
  }
  py::dict as_dict() const {
    py::dict values;
    const LawParameters::Values now = law->live_parameters().values();
    for (std::size_t i = 0; i < law->parameter_names().size(); ++i)
      values[py::str(law->parameter_names()[i])] = now[i];
    return values;
  }
};

// law.set(k=..., b=...): all of them in one change, or none when one is refused.
void set_expression_parameters(Expression& law, const py::kwargs& values) {
  std::vector<LawParameters::Change> changes;
  for (const auto& [name, value] : values)
    changes.push_back(expression_change(law, py::cast<std::string>(name), value));
  require_published(law.live_parameters().set(changes.data(), changes.size()),
                    "parameters refused");
}

py::dict expression_state(const Expression& law) {
  py::dict values;
  const Expression::Values now = law.state();
  for (std::size_t i = 0; i < law.state_names().size(); ++i)
    values[py::str(law.state_names()[i])] = now[i];
  return values;
}

void bind_expression(py::module_& module) {
  py::class_<ExpressionParameters>(module, "ExpressionParameters",
                                   "An Expression's live parameters by name; an assignment "
                                   "reaches the loop at its next cycle")
      .def("__getitem__", &ExpressionParameters::get)
      .def("__setitem__", &ExpressionParameters::set)
      .def("__len__", [](const ExpressionParameters& p) { return p.law->parameter_names().size(); })
      .def("__iter__", [](const ExpressionParameters& p) { return p.as_dict().attr("__iter__")(); })
      .def("__contains__", [](const ExpressionParameters& p, const std::string& name) {
        return p.law->parameter_index(name) < p.law->parameter_names().size();
      })
      .def("keys", [](const ExpressionParameters& p) { return p.law->parameter_names(); })
      .def("items", [](const ExpressionParameters& p) { return p.as_dict().attr("items")(); })
      .def("__repr__", [](const ExpressionParameters& p) { return py::repr(p.as_dict()); });

  py::class_<Expression, Effect, std::shared_ptr<Expression>>(
      module, "Expression",
      "A force law of three expressions evaluated on the loop thread each cycle, over x y z, "
      "vx vy vz, t, dt, the parameters and the state variables")
      .def(py::init(&expression), py::arg("fx"), py::arg("fy"), py::arg("fz"), py::kw_only(),
           py::arg("params") = py::none(), py::arg("state") = py::none())
      .def_property_readonly(
          "params", [](const std::shared_ptr<Expression>& law) { return ExpressionParameters{law}; },
          "The live parameters, a mapping of name to value; assign to change one")
      .def("set", &set_expression_parameters,
           "Change several parameters at once, published as one change")
      .def_property_readonly("state", &expression_state,
                             "The state variables as of the last cycle (their initial values "
                             "before the first)");
}

#endif  // ORVEX_EXPRESSIONS

// The address of a C function given as an int, a ctypes function pointer or an object with an
// address attribute (numba.cfunc). Nothing is called here.
std::uintptr_t function_address(py::handle function) {
  constexpr const char* kinds =
      "function must be an address (int), a ctypes function pointer or an object with an "
      "address attribute (numba.cfunc)";
  if (function.is_none()) throw py::type_error(std::string(kinds) + ", not None");
  const py::module_ ctypes = py::module_::import("ctypes");
  py::object address;
  if (py::isinstance(function, ctypes.attr("_CFuncPtr"))) {
    // A ctypes callback made of a Python callable would run Python in the loop thread.
    const py::object kept = function.attr("_objects");
    if (py::isinstance<py::dict>(kept))
      for (const auto& [key, value] : py::reinterpret_borrow<py::dict>(kept))
        if (py::str(py::type::of(value).attr("__name__")).cast<std::string>() == "CThunkObject")
          throw py::value_error("function is a ctypes callback of a Python function, which "
                                "would take the interpreter lock every cycle");
    address = ctypes.attr("cast")(function, ctypes.attr("c_void_p")).attr("value");
    if (address.is_none()) address = py::int_(0);
  } else if (py::isinstance<py::int_>(function) && !py::isinstance<py::bool_>(function)) {
    address = py::reinterpret_borrow<py::object>(function);
  } else if (py::hasattr(function, "address")) {
    address = function.attr("address");
    if (!py::isinstance<py::int_>(address)) throw py::type_error(kinds);
  } else {
    throw py::type_error(kinds);
  }
  if (address.attr("__lt__")(0).cast<bool>()) throw py::value_error("the function's address is negative");
  return address.cast<std::uintptr_t>();
}

// What params= gives a NativeEffect: values (unnamed), names (each starting at 0), or a mapping
// of name to value.
struct NamedValues {
  std::vector<double> values;
  std::vector<std::string> names;
};

NamedValues native_parameters(const py::object& params) {
  NamedValues given;
  if (py::hasattr(params, "items")) {
    for (const py::handle item : params.attr("items")()) {
      const auto pair = py::reinterpret_borrow<py::tuple>(item);
      given.names.push_back(py::cast<std::string>(pair[0]));
      given.values.push_back(finite_value(pair[1], given.names.back()));
    }
    return given;
  }
  for (const py::handle item : params) {
    if (py::isinstance<py::str>(item)) {
      given.names.push_back(py::cast<std::string>(item));
      given.values.push_back(0.0);
    } else {
      given.values.push_back(py::float_(py::reinterpret_borrow<py::object>(item)));
    }
  }
  if (!given.names.empty() && given.names.size() != given.values.size())
    throw py::value_error("params are values, names, or a mapping of name to value: not a mix");
  return given;
}

std::shared_ptr<NativeEffect> native_effect(const py::object& function, const py::object& params,
                                            std::int64_t state_size) {
  if (state_size < 0) throw py::value_error("state_size must not be negative");
  NamedValues given = native_parameters(params);
  std::string error;
  auto effect = NativeEffect::create(
      reinterpret_cast<orvex_effect_function>(function_address(function)), given.values,
      static_cast<std::size_t>(state_size), error, std::move(given.names));
  if (!effect) throw py::value_error(error);
  // The function's owner (a library, numba's compiled code) lives as long as the effect, which a
  // loop may hold after Python let go of it; it is let go of under the interpreter lock.
  PyObject* owner = function.inc_ref().ptr();
  return std::shared_ptr<NativeEffect>(effect.get(), [effect, owner](NativeEffect*) mutable {
    effect.reset();
    py::gil_scoped_acquire held;
    Py_DECREF(owner);
  });
}

// A parameter by index (negative from the end) or by name.
std::size_t parameter_at(const LawParameters& live, py::handle key) {
  if (py::isinstance<py::str>(key)) {
    const std::string name = py::cast<std::string>(key);
    const std::size_t index = live.index(name);
    if (index == live.size()) throw py::key_error(name);
    return index;
  }
  const auto count = static_cast<std::int64_t>(live.size());
  std::int64_t i = py::cast<std::int64_t>(key);
  if (i < 0) i += count;
  if (i < 0 || i >= count) throw py::index_error("parameter index out of range");
  return static_cast<std::size_t>(i);
}

// The changes an assignment makes: one parameter, or a slice of them with as many values.
std::vector<LawParameters::Change> changes_at(const LawParameters& live, py::handle key,
                                              py::handle value) {
  std::vector<LawParameters::Change> changes;
  if (!py::isinstance<py::slice>(key)) {
    changes.emplace_back(parameter_at(live, key), finite_value(value, "parameter"));
    return changes;
  }
  std::size_t start = 0, stop = 0, step = 0, length = 0;
  if (!py::reinterpret_borrow<py::slice>(key).compute(live.size(), &start, &stop, &step, &length))
    throw py::error_already_set();
  const auto values = py::cast<std::vector<py::object>>(value);
  if (values.size() != length)
    throw py::value_error("a slice of " + std::to_string(length) + " parameters takes as many "
                          "values, not " + std::to_string(values.size()));
  for (std::size_t i = 0; i < length; ++i)
    changes.emplace_back(start + i * step, finite_value(values[i], "parameter"));
  return changes;
}

// effect.params: the parameters by index, slice or name; each assignment is one change.
struct NativeParameters {
  std::shared_ptr<NativeEffect> effect;

  std::vector<double> as_list() const {
    const LawParameters::Values now = effect->live_parameters().values();
    return {now.begin(), now.begin() + static_cast<std::ptrdiff_t>(effect->live_parameters().size())};
  }
  py::object get(py::handle key) const {
    if (py::isinstance<py::slice>(key)) return py::cast(as_list())[key];
    return py::float_(effect->live_parameters().values()[parameter_at(effect->live_parameters(), key)]);
  }
  void set(py::handle key, py::handle value) {
    const auto changes = changes_at(effect->live_parameters(), key, value);
    require_published(effect->live_parameters().set(changes.data(), changes.size()),
                      "parameter refused");
  }
};

// effect.set(values) with one value for each parameter, or effect.set(k=..., x0=...) by name:
// one change, or none when a value or name is refused.
void set_native_parameters(NativeEffect& effect, const py::object& values, const py::kwargs& named) {
  LawParameters& live = effect.live_parameters();
  std::vector<LawParameters::Change> changes;
  if (!values.is_none()) {
    const auto all = py::cast<std::vector<py::object>>(values);
    if (all.size() != live.size())
      throw py::value_error("set() takes one value for each of the " +
                            std::to_string(live.size()) + " parameters");
    for (std::size_t i = 0; i < all.size(); ++i)
      changes.emplace_back(i, finite_value(all[i], "parameter"));
  }
  for (const auto& [name, value] : named)
    changes.emplace_back(parameter_at(live, name), finite_value(value, py::cast<std::string>(name)));
  require_published(live.set(changes.data(), changes.size()), "parameters refused");
}

void bind_native_effect(py::module_& module) {
  py::class_<NativeParameters>(module, "NativeParameters",
                               "A NativeEffect's live parameters by index, slice or name; an "
                               "assignment reaches the loop whole at its next cycle")
      .def("__getitem__", &NativeParameters::get)
      .def("__setitem__", &NativeParameters::set)
      .def("__len__", [](const NativeParameters& p) { return p.effect->live_parameters().size(); })
      .def("__iter__", [](const NativeParameters& p) { return py::iter(py::cast(p.as_list())); })
      .def("keys", [](const NativeParameters& p) { return p.effect->live_parameters().names(); })
      .def("__repr__", [](const NativeParameters& p) { return py::repr(py::cast(p.as_list())); });

  py::class_<NativeEffect, Effect, std::shared_ptr<NativeEffect>>(
      module, "NativeEffect",
      "A C function (orvex_effect.h) the loop thread calls each cycle without the interpreter "
      "lock; a crash in it ends the process")
      .def(py::init(&native_effect), py::arg("function"), py::arg("params") = py::tuple(),
           py::kw_only(), py::arg("state_size") = 0)
      .def_property_readonly(
          "params", [](const std::shared_ptr<NativeEffect>& e) { return NativeParameters{e}; },
          "The live parameters, a sequence of fixed length; assign by index, slice or name")
      .def("set", &set_native_parameters, py::arg("values") = py::none(),
           "Change parameters at once: all of them in order, and/or some by name; no cycle sees "
           "half of it")
      .def("__getitem__",
           [](const std::shared_ptr<NativeEffect>& e, py::handle key) {
             return NativeParameters{e}.get(key);
           })
      .def("__setitem__",
           [](const std::shared_ptr<NativeEffect>& e, py::handle key, py::handle value) {
             NativeParameters{e}.set(key, value);
           })
      .def_property_readonly("names",
                             [](const NativeEffect& e) { return e.live_parameters().names(); })
      .def_property_readonly("state_size", &NativeEffect::state_size)
      .def_property_readonly("address", [](const NativeEffect& e) {
        return reinterpret_cast<std::uintptr_t>(e.function());
      });
}

}  // namespace

void bind_laws(py::module_& module) {
  // Refused when the subclass is made, before a loop could ever be handed one.
  const py::cpp_function refuse(
      [](const py::args&, const py::kwargs&) { throw py::type_error(python_subclass_refused); });
  module.attr("Effect").attr("__init_subclass__") =
      py::reinterpret_steal<py::object>(PyClassMethod_New(refuse.ptr()));
#ifdef ORVEX_EXPRESSIONS
  bind_expression(module);
#endif
  bind_native_effect(module);
}

}  // namespace Orvex::HardwareAPI::Python
