#include "Haptics/CycleRecord.h"

#include <cstring>

namespace Orvex::HardwareAPI::Haptics {

namespace {

std::array<const char*, cycle_columns> names_of_columns() {
  std::array<const char*, cycle_columns> names{};
  for (const CycleField& field : cycle_fields)
    for (std::size_t i = 0; i < width(field); ++i) names[field.column + i] = field.columns[i];
  return names;
}

}  // namespace

const std::array<const char*, cycle_columns>& cycle_column_names() {
  static const std::array<const char*, cycle_columns> names = names_of_columns();
  return names;
}

std::array<double, cycle_columns> cycle_values(const CycleRecord& record) {
  std::array<double, cycle_columns> values;
  std::memcpy(values.data(), &record, sizeof record);
  return values;
}

}  // namespace Orvex::HardwareAPI::Haptics
