#pragma once

#include <array>
#include <cstddef>

#include "Haptics/Effect.h"

namespace Orvex::HardwareAPI::Haptics {

// One servo-loop cycle, as state(), the trace and recordings all give it: packed doubles in the
// order of cycle_fields. Fields are only ever added at the end, so a column keeps its index and
// a reader of an older file finds its columns where they were. Cycle numbers are exact as
// doubles up to 2^53.
struct CycleRecord {
  double time;         // the cycle's start, on the layer's clock (monotonic seconds, see now())
  Vector3d position;   // m, of the latest good reply
  Vector3d velocity;   // m/s, likewise
  Vector3d force;      // N, the command that went out
  double exchange_us;  // from sending the command to its reply (or giving up on it)
  Vector3d proxy;      // where a proxy holds the arm; its position when no effect has one
  double cycle;        // from 0 at each start
  double reply_cycle;  // the cycle whose exchange brought the reply the force was computed
                       // from; -1 when there was none yet (the force is then zero)
  double connected;    // 1, or 0 in the cycle that found the device lost
  // 1 when true: this cycle's reply was refused (out of step, cut short or impossible), the ramp
  // scaled the force down, the step limit cut it, the speed limit zeroed it, the clamp shortened
  // it, the watchdog zeroed it.
  double reply_refused, ramping, step_limited, speed_limited, clamped, watchdog;
};

// How a field is shown where it has a type of its own (a Python dict, a stub): a number, a
// whole number, a flag, or three numbers in a list.
enum class CycleFieldKind { real, count, flag, vector };

struct CycleField {
  const char* key;           // its name in a dict
  std::size_t column;        // its first column
  CycleFieldKind kind;
  const char* columns[3];    // its column names (one, or three for a vector)
};

constexpr std::size_t cycle_columns = sizeof(CycleRecord) / sizeof(double);
static_assert(sizeof(CycleRecord) == 23 * sizeof(double), "a cycle is 23 packed doubles");

// The one table every form of a cycle is made from, in column order.
constexpr std::array<CycleField, 15> cycle_fields{{
    {"time", 0, CycleFieldKind::real, {"time"}},
    {"position", 1, CycleFieldKind::vector, {"x", "y", "z"}},
    {"velocity", 4, CycleFieldKind::vector, {"vx", "vy", "vz"}},
    {"force", 7, CycleFieldKind::vector, {"fx", "fy", "fz"}},
    {"exchange_us", 10, CycleFieldKind::real, {"exchange_us"}},
    {"proxy", 11, CycleFieldKind::vector, {"proxy_x", "proxy_y", "proxy_z"}},
    {"cycle", 14, CycleFieldKind::count, {"cycle"}},
    {"reply_cycle", 15, CycleFieldKind::count, {"reply_cycle"}},
    {"connected", 16, CycleFieldKind::flag, {"connected"}},
    {"reply_refused", 17, CycleFieldKind::flag, {"reply_refused"}},
    {"ramping", 18, CycleFieldKind::flag, {"ramping"}},
    {"step_limited", 19, CycleFieldKind::flag, {"step_limited"}},
    {"speed_limited", 20, CycleFieldKind::flag, {"speed_limited"}},
    {"clamped", 21, CycleFieldKind::flag, {"clamped"}},
    {"watchdog", 22, CycleFieldKind::flag, {"watchdog"}},
}};

constexpr std::size_t width(const CycleField& field) {
  return field.kind == CycleFieldKind::vector ? 3 : 1;
}

// Each field starts where the one before it ends, and the last ends with the record.
constexpr bool fields_tile_the_record() {
  std::size_t next = 0;
  for (const CycleField& field : cycle_fields) {
    if (field.column != next) return false;
    next += width(field);
  }
  return next == cycle_columns;
}
static_assert(fields_tile_the_record(), "cycle_fields must name every column once, in order");

// The column names in order: "time", "x", "y", "z", "vx", ...
const std::array<const char*, cycle_columns>& cycle_column_names();

// The record's columns as an array of doubles (no cast: a copy).
std::array<double, cycle_columns> cycle_values(const CycleRecord& record);

}  // namespace Orvex::HardwareAPI::Haptics
