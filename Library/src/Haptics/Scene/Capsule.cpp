#include "Haptics/Capsule.h"

#include <algorithm>

#include "SurfaceEntry.h"

namespace Orvex::HardwareAPI::Haptics {

using namespace VectorMath;

namespace {

// The point of the capsule's axis segment nearest p.
Vector3d axis_point(double half_length, const Vector3d& p) {
  return {std::clamp(p[0], -half_length, half_length), 0, 0};
}

SurfaceEntry::Distance distance(double radius, double half_length, const Vector3d& p) {
  const Vector3d away = p - axis_point(half_length, p);
  const double length = norm(away);
  if (length == 0) return {-radius, {0, 0, 1}};
  return {length - radius, (1 / length) * away};
}

// The earliest entry into the cylinder's side or either end ball: the capsule is their union,
// and a segment that starts outside all of them enters the union where it first enters one.
bool crossing(double radius, double half_length, const Vector3d& a, const Vector3d& b,
              SurfaceHit& hit) {
  const Vector3d d = b - a;
  bool found = false;
  double t;
  // The side: the distance from the x axis reaches the radius.
  if (SurfaceEntry::entering_root(d[1] * d[1] + d[2] * d[2], 2 * (a[1] * d[1] + a[2] * d[2]),
                                  a[1] * a[1] + a[2] * a[2] - radius * radius, t)) {
    const Vector3d p = a + t * d;
    if (std::abs(p[0]) <= half_length) {
      hit = {t, (1 / radius) * Vector3d{0, p[1], p[2]}};
      found = true;
    }
  }
  for (const double end : {-half_length, half_length}) {
    const Vector3d from_centre = a - Vector3d{end, 0, 0};
    if (SurfaceEntry::entering_root(dot(d, d), 2 * dot(from_centre, d),
                                    dot(from_centre, from_centre) - radius * radius, t) &&
        (!found || t < hit.t)) {
      hit = {t, (1 / radius) * (from_centre + t * d)};
      found = true;
    }
  }
  return found;
}

}  // namespace

Capsule::Capsule() : Shape(Record{{}, {1, 0, 0, 0}, {}, {0.01, 0.04, 0}}) {}

double Capsule::radius() const { return extent()[0]; }
double Capsule::length() const { return extent()[1]; }

bool Capsule::set_radius(double radius) {
  if (!std::isfinite(radius) || radius <= 0) return false;
  return update([&](Record& r) {
    r.extent[0] = radius;
    return true;
  });
}

bool Capsule::set_length(double length) {
  if (!std::isfinite(length) || length <= 0) return false;
  return update([&](Record& r) {
    r.extent[1] = length;
    return true;
  });
}

bool Capsule::enters(const Record& record, const Vector3d& from, const Vector3d& to,
                     SurfaceHit& hit) const noexcept {
  const double radius = record.extent[0], half_length = record.extent[1] / 2;
  return SurfaceEntry::enters(
      from, to, hit, [&](const Vector3d& p) { return distance(radius, half_length, p); },
      [&](const Vector3d& a, const Vector3d& b, SurfaceHit& found) {
        return crossing(radius, half_length, a, b, found);
      });
}

bool Capsule::contains(const Record& record, const Vector3d& point) const noexcept {
  return distance(record.extent[0], record.extent[1] / 2, point).value < 0;
}

}  // namespace Orvex::HardwareAPI::Haptics
