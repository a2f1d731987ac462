#include "HandScript.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "HandFigures.h"

namespace Orvex::Emulator {

namespace {

using HandFigures::HandError;

constexpr std::array<const char*, 9> column_names = {
    "time", "x", "y", "z", "fx", "fy", "fz", "stiffness", "damping"};

std::vector<std::string> cells_of(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::vector<std::string> cells;
  std::istringstream in(line);
  for (std::string cell; std::getline(in, cell, ',');) {
    cell.erase(0, cell.find_first_not_of(' '));
    cell.erase(cell.find_last_not_of(' ') + 1);
    cells.push_back(cell);
  }
  if (!line.empty() && line.back() == ',') cells.emplace_back();
  return cells;
}

}  // namespace

HandScript HandScript::read(const std::string& path, bool repeat) {
  const auto fail = [&path](const std::string& where, const std::string& why) {
    throw HandError("--hand " + path + ": " + where + why);
  };
  std::ifstream in(path);
  if (!in) fail("", "cannot be read");
  std::string line;
  if (!std::getline(in, line)) fail("", "empty: a hand script starts with a header line");

  // Where each column of the file goes in a row; the columns left out keep their defaults.
  std::vector<std::size_t> places;
  Row defaults{};
  defaults[stiffness] = HandFigures::relaxed_stiffness;
  defaults[damping] = HandFigures::relaxed_damping;
  std::array<bool, count> given{};
  for (const std::string& name : cells_of(line)) {
    const auto at = std::find(column_names.begin(), column_names.end(), name);
    if (at == column_names.end())
      fail("header: ", "unknown column '" + name +
                           "' (the columns are time, x, y, z, fx, fy, fz, stiffness, damping)");
    const auto column = static_cast<std::size_t>(at - column_names.begin());
    if (given[column]) fail("header: ", "column '" + name + "' given twice");
    given[column] = true;
    places.push_back(column);
  }
  if (!given[time]) fail("header: ", "no column 'time'");
  if (given[x] != given[y] || given[x] != given[z])
    fail("header: ", "a target takes all three columns x, y and z, or none");

  HandScript script;
  script.holds = given[x];
  script.repeat = repeat;
  for (std::size_t number = 2; std::getline(in, line); ++number) {
    const std::vector<std::string> cells = cells_of(line);
    if (cells.empty()) continue;
    const std::string where = "row " + std::to_string(number);
    if (cells.size() != places.size())
      fail(where, " has " + std::to_string(cells.size()) + " values, the header " +
                      std::to_string(places.size()));
    Row row = defaults;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const char* name = column_names[places[i]];
      char* end = nullptr;
      const double value = std::strtod(cells[i].c_str(), &end);
      if (cells[i].empty() || *end != '\0')
        fail(where + ", column " + name, ": '" + cells[i] + "' is no number");
      try {
        row[places[i]] = places[i] == time ? value : HandFigures::checked(name, value);
      } catch (const HandError& e) {
        fail(where + ", column " + name, std::string(": ") + e.what());
      }
    }
    if (!(row[time] >= 0) || (!script.rows.empty() && row[time] <= script.rows.back()[time]))
      fail(where + ", column time", ": times start from 0 or later and grow, row after row");
    script.rows.push_back(row);
  }
  if (script.rows.empty()) fail("", "no rows after the header");
  return script;
}

Grip HandScript::at(double t) const {
  const double length = rows.back()[time];
  if (repeat && length > 0 && t > length) t = std::fmod(t, length);
  const auto after = std::upper_bound(rows.begin(), rows.end(), t,
                                      [](double t, const Row& row) { return t < row[time]; });
  Row now = after == rows.end() ? rows.back() : *after;
  if (after != rows.begin() && after != rows.end()) {
    const Row& before = *(after - 1);
    const double share = (t - before[time]) / ((*after)[time] - before[time]);
    for (std::size_t i = 0; i < count; ++i) now[i] = before[i] + share * ((*after)[i] - before[i]);
  }
  Grip grip;
  if (holds) grip.anchor = Vector3{now[x], now[y], now[z]};
  grip.push = {now[fx], now[fy], now[fz]};
  grip.stiffness = now[stiffness];
  grip.damping = now[damping];
  return grip;
}

}  // namespace Orvex::Emulator
