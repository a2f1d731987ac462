#include "Haptics/Sphere.h"

#include "SurfaceEntry.h"

namespace Orvex::HardwareAPI::Haptics {

using namespace VectorMath;

namespace {

SurfaceEntry::Distance distance(double radius, const Vector3d& p) {
  const double length = norm(p);
  // The centre has no outward direction of its own: any will do.
  if (length == 0) return {-radius, {0, 0, 1}};
  return {length - radius, (1 / length) * p};
}

}  // namespace

Sphere::Sphere() : Shape(Record{{}, {1, 0, 0, 0}, {}, {0.01, 0, 0}}) {}

double Sphere::radius() const { return extent()[0]; }

bool Sphere::set_radius(double radius) {
  if (!std::isfinite(radius) || radius <= 0) return false;
  return update([&](Record& r) {
    r.extent = {radius, 0, 0};
    return true;
  });
}

bool Sphere::enters(const Record& record, const Vector3d& from, const Vector3d& to,
                    SurfaceHit& hit) const noexcept {
  const double radius = record.extent[0];
  return SurfaceEntry::enters(
      from, to, hit, [&](const Vector3d& p) { return distance(radius, p); },
      [&](const Vector3d& a, const Vector3d& b, SurfaceHit& found) {
        const Vector3d d = b - a;
        double t;
        if (!SurfaceEntry::entering_root(dot(d, d), 2 * dot(a, d), dot(a, a) - radius * radius, t))
          return false;
        found = {t, (1 / radius) * (a + t * d)};
        return true;
      });
}

bool Sphere::contains(const Record& record, const Vector3d& point) const noexcept {
  return dot(point, point) < record.extent[0] * record.extent[0];
}

}  // namespace Orvex::HardwareAPI::Haptics
