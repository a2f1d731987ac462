#include "CycleDicts.h"

#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <type_traits>

#include "Conventions.h"

namespace Orvex::HardwareAPI::Python {

namespace py = pybind11;
using Haptics::CycleField;
using Haptics::CycleFieldKind;

py::dict cycle_dict(const Haptics::CycleRecord& record) {
  const std::array<double, Haptics::cycle_columns> values = Haptics::cycle_values(record);
  py::dict result;
  for (const CycleField& field : Haptics::cycle_fields) {
    const double value = values[field.column];
    switch (field.kind) {
      case CycleFieldKind::real: result[field.key] = value; break;
      case CycleFieldKind::count: result[field.key] = static_cast<long long>(value); break;
      case CycleFieldKind::flag: result[field.key] = value != 0; break;
      case CycleFieldKind::vector: {
        py::list three;
        for (std::size_t i = 0; i < 3; ++i) three.append(values[field.column + i]);
        result[field.key] = three;
        break;
      }
    }
  }
  return result;
}

namespace {

py::object python_value(Haptics::StopReason reason) {
  const char* text = Haptics::stop_reason_text(reason);
  if (!text) return py::none();
  return py::str(text);
}

// Empty: nothing to say (None).
py::object python_value(const std::string& text) { return optional_text(text); }

template <class Value>
py::object python_value(const Value& value) {
  return py::cast(value);
}

}  // namespace

py::dict stats_dict(const Haptics::ServoStats& stats) {
  py::dict result;
  Haptics::visit_stats(stats, [&](const char* name, const auto& value) {
    result[name] = python_value(value);
  });
  return result;
}

py::list mark_dicts(const std::vector<Haptics::RecordMark>& marks, const char* index_name) {
  const py::object loads = py::module_::import("json").attr("loads");
  py::list result;
  for (const Haptics::RecordMark& mark : marks) {
    py::dict entry;
    entry["time"] = mark.time;
    entry[index_name] = mark.index;
    entry["label"] = mark.label;
    entry["fields"] = mark.fields_json.empty() ? py::dict() : loads(mark.fields_json);
    result.append(entry);
  }
  return result;
}

std::string fields_json(const py::kwargs& fields) {
  if (fields.empty()) return {};
  try {
    return py::module_::import("json").attr("dumps")(fields, py::arg("allow_nan") = false)
        .cast<std::string>();
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_TypeError) && !error.matches(PyExc_ValueError)) throw;
    throw py::type_error("a mark's fields must be numbers, strings, booleans, None, lists or "
                         "dicts of them (finite numbers)");
  }
}

py::dict servo_defaults() {
  const Haptics::ServoSettings defaults;
  py::dict result;
  Haptics::visit_settings(defaults, [&](const char* name, const auto& value) {
    using Value = std::decay_t<decltype(value)>;
    if constexpr (std::is_same_v<Value, std::optional<double>>)
      result[name] = value ? py::cast(*value) : py::none();
    else
      result[name] = py::cast(value);
  });
  // The real-time class is asked for by default, and its refusal is silent (None); True warns.
  result["realtime"] = py::none();
  return result;
}

}  // namespace Orvex::HardwareAPI::Python
