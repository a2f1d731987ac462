#include "TrackedShapes.h"

#include <algorithm>

#include "PoseAtTime.h"
#include "VectorMath.h"

namespace Orvex::HardwareAPI::Haptics {

using namespace VectorMath;

namespace {

bool same_pose(const Shape::Record& a, const Shape::Record& b) {
  return a.position == b.position && a.orientation == b.orientation;
}

}  // namespace

bool TrackedShapes::inside(const Tracked& tracked, const Vector3d& point) const noexcept {
  return tracked.shape->contains(tracked.record, to_local(tracked.record, point));
}

void TrackedShapes::remap(const ShapeList::Snapshot& snapshot, bool afresh) noexcept {
  previous = shapes;
  const std::size_t previous_count = count;
  count = std::min(snapshot.entries.size(), capacity);
  for (std::size_t i = 0; i < count; ++i) {
    const ShapeList::Entry& entry = snapshot.entries[i];
    // Old entries are matched by id only: their shape pointers may be gone.
    const auto old = std::find_if(previous.begin(), previous.begin() + previous_count,
                                  [&](const Tracked& t) { return t.id == entry.id; });
    appeared[i] = afresh || old == previous.begin() + previous_count;
    shapes[i] = appeared[i] ? Tracked{} : *old;
    shapes[i].shape = entry.shape.get();
    shapes[i].id = entry.id;
  }
  version = snapshot.version;
  have_version = true;
}

void TrackedShapes::read_records(const UpdateBlocks& blocks) noexcept {
  std::uint64_t stamp = 0;
  const bool open = !blocks.reading_from(stamp);
  for (std::size_t i = 0; i < count; ++i) read[i] = !open && shapes[i].shape->try_read(fresh[i]);
  if (!open && !blocks.still_valid(stamp)) read.fill(false);
}

void TrackedShapes::follow(const ShapeList::Snapshot& snapshot, const Vector3d& arm,
                           Vector3d& proxy, bool afresh, double now_s,
                           const UpdateBlocks& blocks) noexcept {
  if (afresh || !have_version || snapshot.version != version) {
    remap(snapshot, afresh);
  } else {
    appeared.fill(false);
  }
  read_records(blocks);
  for (std::size_t i = 0; i < count; ++i) {
    Tracked& t = shapes[i];
    // A record being rewritten this instant is read next cycle; a new shape waits for its first.
    // A shape that moves between timed poses is posed anew each cycle from the record kept.
    if (!read[i] && (appeared[i] || !t.set.motion.timed)) {
      if (appeared[i]) t.felt = false;
      continue;
    }
    if (read[i]) t.set = fresh[i];
    const Shape::Record before = t.record;
    t.record = pose_at(t.set, now_s);
    if (appeared[i] || !t.felt) {
      t.felt = !inside(t, arm) && !inside(t, proxy);
      continue;
    }
    const Shape::Record& posed = t.record;
    if (!same_pose(before, posed)) {
      // In the shape's frame the proxy moved from where it was to where it now is: where that
      // path enters the shape, the shape caught it and carries it.
      const Vector3d from = to_local(before, proxy), to = to_local(posed, proxy);
      SurfaceHit hit;
      if (t.shape->enters(posed, from, to, hit)) {
        proxy = to_world(posed, from + hit.t * (to - from) + standoff * hit.normal);
      }
    }
    // A shape that grew (or turned) around the proxy has no surface to hold it from: it is let
    // go until the arm and the proxy are out of it.
    if ((!same_pose(before, posed) || before.extent != posed.extent) && inside(t, proxy))
      t.felt = false;
  }
}

bool TrackedShapes::first_hit(const Vector3d& from, const Vector3d& to,
                              Hit& hit) const noexcept {
  bool found = false;
  for (std::size_t i = 0; i < count; ++i) {
    const Tracked& t = shapes[i];
    if (!t.felt) continue;
    SurfaceHit local;
    if (!t.shape->enters(t.record, to_local(t.record, from), to_local(t.record, to), local))
      continue;
    if (found && local.t >= hit.surface.t) continue;
    hit = {{local.t, rotate(t.record.orientation, local.normal)}, i};
    found = true;
  }
  return found;
}

}  // namespace Orvex::HardwareAPI::Haptics
