#pragma once

#include "Haptics/Shape.h"

namespace Orvex::HardwareAPI::Haptics {

// A rectangular box centred on its position, its edges along its own axes.
class Box : public Shape {
 public:
  Box();  // 2 cm cube at the origin; set the rest through the setters

  Vector3d size() const;  // full edge lengths along the box's own x, y, z
  bool set_size(const Vector3d& size);  // finite, each above zero
  using Shape::orientation;
  using Shape::position;
  using Shape::set_orientation;
  using Shape::set_position;

  bool enters(const Record& record, const Vector3d& from, const Vector3d& to,
              SurfaceHit& hit) const noexcept override;
  bool contains(const Record& record, const Vector3d& point) const noexcept override;
};

}  // namespace Orvex::HardwareAPI::Haptics
