#pragma once

// What Python hands to the scene's shapes beyond vectors of three: orientations, and a mesh's
// vertices and triangles (anything numpy.asarray takes: arrays, lists, tuples). Bad input is a
// ValueError naming the argument.

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "Haptics/Mesh.h"
#include "Haptics/Shape.h"

namespace Orvex::HardwareAPI::Python {

// A sequence of exactly `size` items, each given to item(index, object); ValueError(refused)
// for anything else.
template <class Item>
void sequence_of(pybind11::handle value, std::size_t size, const std::string& refused,
                 Item item) {
  namespace py = pybind11;
  if (!PySequence_Check(value.ptr()) || py::isinstance<py::str>(value) ||
      py::isinstance<py::bytes>(value))
    throw py::value_error(refused);
  py::object items = py::reinterpret_steal<py::object>(PySequence_Fast(value.ptr(), ""));
  if (!items) {
    PyErr_Clear();
    throw py::value_error(refused);
  }
  if (size != 0 && static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.ptr())) != size)
    throw py::value_error(refused);
  const auto count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.ptr()));
  for (std::size_t i = 0; i < count; ++i)
    item(i, PySequence_Fast_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(i)));
}

inline double number_or_refuse(PyObject* value, const std::string& refused) {
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    throw pybind11::value_error(refused);
  }
  return number;
}

inline Haptics::Quaternion quaternion_argument(pybind11::handle value, const char* name) {
  const std::string refused = std::string(name) + " needs four finite numbers, not all zero";
  Haptics::Quaternion q{};
  sequence_of(value, 4, refused,
              [&](std::size_t i, PyObject* item) { q[i] = number_or_refuse(item, refused); });
  return q;
}

inline std::vector<Haptics::Vector3d> vertices_argument(pybind11::handle value) {
  const std::string refused = "vertices needs rows of three numbers";
  std::vector<Haptics::Vector3d> vertices;
  sequence_of(value, 0, refused, [&](std::size_t, PyObject* row) {
    Haptics::Vector3d& v = vertices.emplace_back();
    sequence_of(row, 3, refused,
                [&](std::size_t i, PyObject* item) { v[i] = number_or_refuse(item, refused); });
  });
  return vertices;
}

// Indices are checked against the vertex count here, since Python's may be negative or huge.
inline std::vector<Haptics::Mesh::Triangle> triangles_argument(pybind11::handle value,
                                                               std::size_t vertex_count) {
  const std::string refused = "triangles needs rows of three integers";
  std::vector<Haptics::Mesh::Triangle> triangles;
  sequence_of(value, 0, refused, [&](std::size_t, PyObject* row) {
    Haptics::Mesh::Triangle& t = triangles.emplace_back();
    sequence_of(row, 3, refused, [&](std::size_t i, PyObject* item) {
      pybind11::object index = pybind11::reinterpret_steal<pybind11::object>(PyNumber_Index(item));
      if (!index) {
        PyErr_Clear();
        throw pybind11::value_error(refused);
      }
      const long long n = PyLong_AsLongLong(index.ptr());
      if (n == -1 && PyErr_Occurred()) PyErr_Clear();
      if (n < 0 || static_cast<unsigned long long>(n) >= vertex_count)
        throw pybind11::value_error("triangles hold an index out of range");
      t[i] = static_cast<std::uint32_t>(n);
    });
  });
  return triangles;
}

}  // namespace Orvex::HardwareAPI::Python
