#include "Haptics/LawParameters.h"

#include <algorithm>
#include <cmath>

namespace Orvex::HardwareAPI::Haptics {

LawParameters::LawParameters(const Values& initial, std::size_t count)
    : count(std::min(count, capacity)) {
  published.write_from_non_rt([&](Values& first) {
    first = {};
    std::copy_n(initial.begin(), this->count, first.begin());
  });
}

bool LawParameters::set(const Change* changes, std::size_t change_count) {
  for (std::size_t i = 0; i < change_count; ++i)
    if (changes[i].first >= count || !std::isfinite(changes[i].second)) return false;
  return published.write_from_non_rt([&](Values& next) {
    for (std::size_t i = 0; i < change_count; ++i) next[changes[i].first] = changes[i].second;
  });
}

}  // namespace Orvex::HardwareAPI::Haptics
