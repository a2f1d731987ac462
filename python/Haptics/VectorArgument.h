#pragma once

// Vectors of three that Python hands to the servo loop and its effects: any sequence of three
// numbers. Something that is no sequence of numbers is a TypeError, a sequence of another length
// a ValueError, each naming the argument.

#include <pybind11/pybind11.h>

#include <string>

#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Python {

inline Haptics::Vector3d vector_argument(pybind11::handle value, const char* name) {
  namespace py = pybind11;
  const std::string refused = std::string(name) + " needs three finite numbers";
  if (!PySequence_Check(value.ptr()) || py::isinstance<py::str>(value) ||
      py::isinstance<py::bytes>(value))
    throw py::type_error(refused);
  const auto items = py::reinterpret_borrow<py::sequence>(value);
  if (items.size() != 3) throw py::value_error(refused);
  Haptics::Vector3d vector{};
  for (std::size_t i = 0; i < 3; ++i) {
    const double element = PyFloat_AsDouble(py::object(items[i]).ptr());
    if (element == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      throw py::type_error(refused);
    }
    vector[i] = element;
  }
  return vector;
}

// A value the library refused (its setter returned false) as a ValueError.
inline void require(bool accepted, const std::string& message) {
  if (!accepted) throw pybind11::value_error(message);
}

}  // namespace Orvex::HardwareAPI::Python
