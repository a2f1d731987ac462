#pragma once

// What every Python-facing operation of the module has in common: device work runs without the
// interpreter lock, deprecated methods warn before any traffic, results are built afterwards.

#include <pybind11/pybind11.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "IO/SerialStream.h"

namespace Orvex::HardwareAPI::Python {

namespace py = pybind11;

// A device talks through a stream it does not own: its Python object keeps the stream's object
// alive (argument 2 of the constructor, the stream, lives as long as argument 1, the device).
using keeps_stream_alive = py::keep_alive<1, 2>;

// A device built on None would have nothing to talk through; refuse it before anything is made.
inline IO::SerialStream* required_stream(IO::SerialStream* stream, const char* device) {
  if (!stream) throw py::type_error(std::string(device) + " needs a SerialStream, not None");
  return stream;
}

// A new Python list of n library values, each converted as pybind11 converts its type: floats
// widen exactly to Python floats, bytes become Python ints.
template <class Value>
py::list list_of(const Value* values, std::size_t n) {
  py::list list(n);
  for (std::size_t i = 0; i < n; ++i)
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), py::cast(values[i]).release().ptr());
  return list;
}

// A text the library leaves empty when it has nothing to say, as Python sees it: None then.
inline py::object optional_text(const std::string& text) {
  if (text.empty()) return py::none();
  return py::str(text);
}

// An 8-bit argument that may be left out: None, or an int in 0..255. Python sees it as int.
struct OptionalByte {
  std::optional<std::uint8_t> value;
};

// What unlocked() work gave back, held while the lock is taken back.
template <class Result>
struct UnlockedOutcome {
  std::optional<Result> value;
  template <class Work>
  void run(Work& work) { value.emplace(work()); }
  Result take() { return std::move(*value); }
};
template <>
struct UnlockedOutcome<void> {
  template <class Work>
  void run(Work& work) { work(); }
  void take() {}
};
// The device work of a call, with the lock released around it alone: whatever the arguments needed
// was checked before, and the result becomes Python objects after. Every binding that opens a
// port, exchanges messages or waits goes through here.
//
// The lock is taken back in plain code, not in a destructor (as a scoped release or a call guard
// would): during finalisation Python ends a daemon thread as it takes the lock back, by an unwind
// that can pass through a function but not out of a destructor. For the same reason a binding
// that calls this takes its Python arguments as handles: an owning argument would be released,
// without the lock, by that unwind.
template <class Exchange>
auto unlocked(Exchange&& exchange) {
  UnlockedOutcome<decltype(exchange())> outcome;
  std::exception_ptr raised;
  PyThreadState* state = PyEval_SaveThread();
  try {
    outcome.run(exchange);
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;  // a callback into Python found the thread ending (see above): let it end
#endif
  } catch (...) {
    raised = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (raised) std::rethrow_exception(raised);
  return outcome.take();
}

// A device operation takes exactly three values; a shorter list would be read or written past its
// end, so it is refused before any traffic. Further values are the caller's: ignored on sending,
// kept as they are on receiving.
inline std::array<float, 3> three_values(const std::vector<float>& values, const char* argument) {
  if (values.size() < 3)
    throw py::value_error("'" + std::string(argument) + "' needs three values, got " +
                          std::to_string(values.size()));
  return {values[0], values[1], values[2]};
}

// A received vector written over the first three of the caller's values.
inline void replace_first_three(std::vector<float>& values, const std::array<float, 3>& received) {
  std::copy(received.begin(), received.end(), values.begin());
}

// A new list of Python floats, each single-precision value widened exactly.
template <class Floats>
py::list float_list(const Floats& values) {
  return list_of(values.data(), values.size());
}

// Two vectors as a new tuple of two new float lists.
template <class First, class Second>
py::tuple float_list_pair(const First& first, const Second& second) {
  return py::make_tuple(float_list(first), float_list(second));
}

// A deprecated method warns on every call, naming the caller's line, then does its exchange
// without the lock whatever became of the warning. A warning that the filters turned into an
// error is raised once the exchange is done, in place of the result.
template <class Exchange>
auto deprecated_exchange(const char* message, Exchange&& exchange) {
  std::optional<py::error_already_set> raised;
  if (PyErr_WarnEx(PyExc_DeprecationWarning, message, 1) < 0) raised.emplace();
  if constexpr (std::is_void_v<decltype(exchange())>) {
    unlocked(exchange);
    if (raised) throw std::move(*raised);
  } else {
    auto result = unlocked(exchange);
    if (raised) throw std::move(*raised);
    return result;
  }
}

}  // namespace Orvex::HardwareAPI::Python

namespace pybind11::detail {

template <>
struct type_caster<Orvex::HardwareAPI::Python::OptionalByte> {
  PYBIND11_TYPE_CASTER(Orvex::HardwareAPI::Python::OptionalByte, const_name("int"));

  bool load(handle source, bool convert) {
    if (source.is_none()) {
      value.value.reset();
      return true;
    }
    make_caster<std::uint8_t> byte;
    if (!byte.load(source, convert)) return false;
    value.value = cast_op<std::uint8_t>(byte);
    return true;
  }
};

}  // namespace pybind11::detail
