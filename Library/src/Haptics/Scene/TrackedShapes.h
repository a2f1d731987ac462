#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Haptics/Shape.h"
#include "ShapeList.h"
#include "UpdateBlocks.h"

namespace Orvex::HardwareAPI::Haptics {

// The loop's own view of a scene's shapes: for each, the record it renders this cycle and
// whether it is felt at all. A shape the arm (or the proxy) is inside of when it appears, when
// the loop starts, or when it grows around them, is not felt until both are out of it: no kick.
// A shape that moves carries the proxy along, so it never ends up inside.
//
// Loop thread only; fixed storage, nothing allocated.
class TrackedShapes {
 public:
  static constexpr std::size_t capacity = 64;

  struct Tracked {
    const Shape* shape = nullptr;  // valid while the snapshot it came from is being read
    std::uint64_t id = 0;
    Shape::Record record{};  // posed for this cycle
    Shape::Record set{};     // as last read whole
    bool felt = false;
  };
  struct Hit {
    SurfaceHit surface;  // t along the segment; the normal in the world
    std::size_t index;   // of the shape met
  };

  // Takes this cycle's snapshot and records, posed at now_s, all of them or (while a block of
  // changes is open or opened during the reading) none: new shapes (all of them when afresh)
  // are felt unless the arm or the proxy is inside them; moved shapes push the proxy out of
  // their way.
  void follow(const ShapeList::Snapshot& snapshot, const Vector3d& arm, Vector3d& proxy,
              bool afresh, double now_s, const UpdateBlocks& blocks) noexcept;

  // Where the segment from -> to first enters a felt shape.
  bool first_hit(const Vector3d& from, const Vector3d& to, Hit& hit) const noexcept;

  std::size_t size() const { return count; }
  const Tracked& operator[](std::size_t index) const { return shapes[index]; }

  // How far back from a surface the proxy is held, so that it starts each cycle outside.
  static constexpr double standoff = 1e-6;  // m

 private:
  void remap(const ShapeList::Snapshot& snapshot, bool afresh) noexcept;
  // Reads every record whole into fresh (read[i]: it came); none when a block got in the way.
  void read_records(const UpdateBlocks& blocks) noexcept;
  bool inside(const Tracked& tracked, const Vector3d& point) const noexcept;

  std::array<Tracked, capacity> shapes{};
  std::array<Tracked, capacity> previous{};  // the last cycle's, while remapping
  std::size_t count = 0;
  std::uint64_t version = 0;
  bool have_version = false;
  // Set while remapping: these entries are new and their records not read yet.
  std::array<bool, capacity> appeared{};
  // This cycle's reading, before it is taken.
  std::array<Shape::Record, capacity> fresh{};
  std::array<bool, capacity> read{};
};

}  // namespace Orvex::HardwareAPI::Haptics
