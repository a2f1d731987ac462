#pragma once

#include "Haptics/Shape.h"

namespace Orvex::HardwareAPI::Haptics {

// A half-space: everything behind the plane through point, the normal pointing out of it.
class Plane : public Shape {
 public:
  Plane();  // the floor z <= 0; set the rest through the setters

  Vector3d point() const;
  Vector3d normal() const;  // of length 1
  bool set_point(const Vector3d& point);    // finite
  bool set_normal(const Vector3d& normal);  // finite, not of length zero; scaled to length 1

  bool enters(const Record& record, const Vector3d& from, const Vector3d& to,
              SurfaceHit& hit) const noexcept override;
  bool contains(const Record& record, const Vector3d& point) const noexcept override;
};

}  // namespace Orvex::HardwareAPI::Haptics
