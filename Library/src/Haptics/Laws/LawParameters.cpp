#include "Haptics/LawParameters.h"

#include <algorithm>
#include <cmath>

namespace Orvex::HardwareAPI::Haptics {

LawParameters::LawParameters(const Values& initial, std::size_t count,
                             std::vector<std::string> names)
    : count(std::min(count, capacity)), named(std::move(names)) {
  published.write_from_non_rt([&](Values& first) {
    first = {};
    std::copy_n(initial.begin(), this->count, first.begin());
  });
}

std::size_t LawParameters::index(const std::string& name) const {
  const auto found = std::find(named.begin(), named.end(), name);
  return found == named.end() ? count : static_cast<std::size_t>(found - named.begin());
}

const char* LawParameters::names_problem(const std::vector<std::string>& names,
                                         std::size_t count) {
  if (names.empty()) return nullptr;
  if (names.size() != count) return "give one name for each parameter, or none";
  for (auto name = names.begin(); name != names.end(); ++name) {
    if (name->empty()) return "a parameter's name is empty";
    if (std::find(names.begin(), name, *name) != name) return "a parameter's name is given twice";
  }
  return nullptr;
}

bool LawParameters::set(const Change* changes, std::size_t change_count) {
  for (std::size_t i = 0; i < change_count; ++i)
    if (changes[i].first >= count || !std::isfinite(changes[i].second)) return false;
  return published.write_from_non_rt([&](Values& next) {
    for (std::size_t i = 0; i < change_count; ++i) next[changes[i].first] = changes[i].second;
  });
}

}  // namespace Orvex::HardwareAPI::Haptics
