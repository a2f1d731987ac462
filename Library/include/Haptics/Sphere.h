#pragma once

#include "Haptics/Shape.h"

namespace Orvex::HardwareAPI::Haptics {

// A ball of the given radius around its position.
class Sphere : public Shape {
 public:
  Sphere();  // radius 1 cm at the origin; set the rest through the setters

  double radius() const;
  bool set_radius(double radius);  // finite, above zero
  using Shape::position;
  using Shape::set_position;

  bool enters(const Record& record, const Vector3d& from, const Vector3d& to,
              SurfaceHit& hit) const noexcept override;
  bool contains(const Record& record, const Vector3d& point) const noexcept override;
};

}  // namespace Orvex::HardwareAPI::Haptics
