#include "Haptics/Box.h"

#include <algorithm>
#include <limits>

#include "SurfaceEntry.h"

namespace Orvex::HardwareAPI::Haptics {

using namespace VectorMath;

namespace {

// h: half the edges.
SurfaceEntry::Distance distance(const Vector3d& h, const Vector3d& p) {
  Vector3d outside{};
  std::size_t nearest_face = 0;
  double deepest = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < 3; ++i) {
    const double beyond = std::abs(p[i]) - h[i];
    outside[i] = std::max(beyond, 0.0);
    if (beyond > deepest) {
      deepest = beyond;
      nearest_face = i;
    }
  }
  if (deepest > 0) {  // outside: towards the nearest point of the box (a face, edge or corner)
    const double length = norm(outside);
    Vector3d gradient{};
    for (std::size_t i = 0; i < 3; ++i) gradient[i] = std::copysign(outside[i] / length, p[i]);
    return {length, gradient};
  }
  Vector3d gradient{};
  gradient[nearest_face] = p[nearest_face] < 0 ? -1 : 1;
  return {deepest, gradient};
}

// Slabs: the segment is inside the box where it is inside all three pairs of faces; it enters
// at the latest of the three entries, through that entry's face.
bool crossing(const Vector3d& h, const Vector3d& a, const Vector3d& b, SurfaceHit& hit) {
  const Vector3d d = b - a;
  double enter = 0, leave = 1;
  std::size_t face = 3;
  for (std::size_t i = 0; i < 3; ++i) {
    if (d[i] == 0) {
      if (std::abs(a[i]) > h[i]) return false;
      continue;
    }
    double near = (-h[i] - a[i]) / d[i], far = (h[i] - a[i]) / d[i];
    if (near > far) std::swap(near, far);
    if (near > enter) {
      enter = near;
      face = i;
    }
    leave = std::min(leave, far);
    if (enter > leave) return false;
  }
  if (face == 3) return false;  // the start is inside: handled by the distance
  hit.t = enter;
  hit.normal = {};
  hit.normal[face] = d[face] > 0 ? -1 : 1;
  return true;
}

}  // namespace

Box::Box() : Shape(Record{{}, {1, 0, 0, 0}, {}, {0.02, 0.02, 0.02}}) {}

Vector3d Box::size() const { return extent(); }

bool Box::set_size(const Vector3d& size) {
  if (!finite(size) || !(size[0] > 0 && size[1] > 0 && size[2] > 0)) return false;
  return update([&](Record& r) {
    r.extent = size;
    return true;
  });
}

bool Box::enters(const Record& record, const Vector3d& from, const Vector3d& to,
                 SurfaceHit& hit) const noexcept {
  const Vector3d h = 0.5 * record.extent;
  return SurfaceEntry::enters(
      from, to, hit, [&](const Vector3d& p) { return distance(h, p); },
      [&](const Vector3d& a, const Vector3d& b, SurfaceHit& found) {
        return crossing(h, a, b, found);
      });
}

bool Box::contains(const Record& record, const Vector3d& point) const noexcept {
  const Vector3d h = 0.5 * record.extent;
  return std::abs(point[0]) < h[0] && std::abs(point[1]) < h[1] && std::abs(point[2]) < h[2];
}

}  // namespace Orvex::HardwareAPI::Haptics
