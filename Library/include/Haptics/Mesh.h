#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "Haptics/Shape.h"

namespace Orvex::HardwareAPI::Haptics {

class TriangleBvh;

// A triangle mesh in its own frame, placed by its pose. Its triangles are felt from both sides,
// so an open surface (a single triangle, a plate) holds the proxy too; a closed mesh is a solid
// whose inside is told by counting crossings. The geometry is fixed once made: its bounding
// volume hierarchy is built by make(), on the caller's thread, never by the loop.
class Mesh : public Shape {
 public:
  using Triangle = std::array<std::uint32_t, 3>;  // indices into the vertices

  // Why the geometry cannot make a mesh ("vertices ...", "triangles ..."), or nullptr: at least
  // one triangle, finite vertices, indices in range.
  static const char* problem(const std::vector<Vector3d>& vertices,
                             const std::vector<Triangle>& triangles);
  // The mesh, or nullptr when problem() names a fault.
  static std::shared_ptr<Mesh> make(std::vector<Vector3d> vertices,
                                    std::vector<Triangle> triangles);
  ~Mesh() override;

  const std::vector<Vector3d>& vertices() const { return vertex_list; }
  const std::vector<Triangle>& triangles() const { return triangle_list; }
  using Shape::orientation;
  using Shape::position;
  using Shape::set_orientation;
  using Shape::set_position;

  bool enters(const Record& record, const Vector3d& from, const Vector3d& to,
              SurfaceHit& hit) const noexcept override;
  bool contains(const Record& record, const Vector3d& point) const noexcept override;

 private:
  Mesh(std::vector<Vector3d> vertices, std::vector<Triangle> triangles);

  std::vector<Vector3d> vertex_list;
  std::vector<Triangle> triangle_list;
  std::unique_ptr<TriangleBvh> hierarchy;
};

}  // namespace Orvex::HardwareAPI::Haptics
