#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "Haptics/PublishedRecord.h"

namespace Orvex::HardwareAPI::Haptics {

// The live parameters of a user's law: a fixed number of doubles that application threads change
// while the loop runs, published whole, so that a cycle reads either all of a change or none
// of it. Writers take turns (a lock the loop never takes); the loop thread reads without a lock.
// The parameters may have names, one each, fixed when made.
class LawParameters {
 public:
  static constexpr std::size_t capacity = 16;
  using Values = std::array<double, capacity>;
  using Change = std::pair<std::size_t, double>;  // (index, value)

  // The first `count` of `initial` (count at most capacity; the rest are zero), named by names
  // (none, or one for each).
  LawParameters(const Values& initial, std::size_t count, std::vector<std::string> names = {});
  LawParameters(const LawParameters&) = delete;
  LawParameters& operator=(const LawParameters&) = delete;

  std::size_t size() const { return count; }
  const std::vector<std::string>& names() const { return named; }
  // The index of a parameter's name, or size() when none has it.
  std::size_t index(const std::string& name) const;
  // Why these names cannot name `count` parameters (empty, given twice, not one each), or null.
  static const char* names_problem(const std::vector<std::string>& names, std::size_t count);
  Values values() const { return published.read_from_non_rt(); }

  // Publishes all changes as one: false, and nothing changed, when an index is out of range or
  // a value is not finite.
  bool set(const Change* changes, std::size_t change_count);
  bool set(std::size_t index, double value) {
    const Change change{index, value};
    return set(&change, 1);
  }

  // Loop thread: the values as last published whole into out; false (out untouched) when a
  // change was being written during every attempt.
  bool try_read(Values& out) const noexcept { return published.read_from_rt(out); }

 private:
  const std::size_t count;
  const std::vector<std::string> named;
  PublishedRecord<Values> published;
};

}  // namespace Orvex::HardwareAPI::Haptics
