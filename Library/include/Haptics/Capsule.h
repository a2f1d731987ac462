#pragma once

#include "Haptics/Shape.h"

namespace Orvex::HardwareAPI::Haptics {

// The points within radius of a segment that runs along the capsule's own x axis, length long
// and centred on its position: a cylinder with a half ball at each end.
class Capsule : public Shape {
 public:
  Capsule();  // radius 1 cm, length 4 cm, at the origin; set the rest through the setters

  double radius() const;
  double length() const;  // between the centres of the two end caps
  bool set_radius(double radius);  // finite, above zero
  bool set_length(double length);  // finite, above zero
  using Shape::orientation;
  using Shape::position;
  using Shape::set_orientation;
  using Shape::set_position;

  bool enters(const Record& record, const Vector3d& from, const Vector3d& to,
              SurfaceHit& hit) const noexcept override;
  bool contains(const Record& record, const Vector3d& point) const noexcept override;
};

}  // namespace Orvex::HardwareAPI::Haptics
