#include "Haptics/Plane.h"

#include "SurfaceEntry.h"

namespace Orvex::HardwareAPI::Haptics {

using namespace VectorMath;

// The plane keeps its point as its position and its unit normal as its extent; it is not
// rotated, so its own frame is the world's shifted to the point.
Plane::Plane() : Shape(Record{{}, {1, 0, 0, 0}, {}, {0, 0, 1}}) {}

Vector3d Plane::point() const { return position(); }
Vector3d Plane::normal() const { return extent(); }
bool Plane::set_point(const Vector3d& point) { return set_position(point); }

bool Plane::set_normal(const Vector3d& normal) {
  const double length = norm(normal);
  if (!finite(normal) || !std::isnormal(length)) return false;
  return update([&](Record& r) {
    r.extent = (1 / length) * normal;
    return true;
  });
}

bool Plane::enters(const Record& record, const Vector3d& from, const Vector3d& to,
                   SurfaceHit& hit) const noexcept {
  const Vector3d& n = record.extent;
  return SurfaceEntry::enters(
      from, to, hit, [&](const Vector3d& p) { return SurfaceEntry::Distance{dot(p, n), n}; },
      [&](const Vector3d& a, const Vector3d& b, SurfaceHit& found) {
        const double above = dot(a, n), after = dot(b, n);
        if (after >= 0) return false;
        found = {above / (above - after), n};
        return true;
      });
}

bool Plane::contains(const Record& record, const Vector3d& point) const noexcept {
  return dot(point, record.extent) < 0;
}

}  // namespace Orvex::HardwareAPI::Haptics
