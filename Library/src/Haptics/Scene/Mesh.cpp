#include "Haptics/Mesh.h"

#include <cmath>

#include "TriangleBvh.h"
#include "VectorMath.h"

namespace Orvex::HardwareAPI::Haptics {

using namespace VectorMath;

const char* Mesh::problem(const std::vector<Vector3d>& vertices,
                          const std::vector<Triangle>& triangles) {
  if (triangles.empty()) return "triangles must hold at least one triangle";
  for (const Vector3d& v : vertices)
    if (!finite(v)) return "vertices must be finite";
  for (const Triangle& t : triangles)
    for (const std::uint32_t index : t)
      if (index >= vertices.size()) return "triangles hold an index out of range";
  return nullptr;
}

std::shared_ptr<Mesh> Mesh::make(std::vector<Vector3d> vertices,
                                 std::vector<Triangle> triangles) {
  if (problem(vertices, triangles)) return nullptr;
  return std::shared_ptr<Mesh>(new Mesh(std::move(vertices), std::move(triangles)));
}

Mesh::Mesh(std::vector<Vector3d> vertices, std::vector<Triangle> triangles)
    : Shape(Record{}),
      vertex_list(std::move(vertices)),
      triangle_list(std::move(triangles)),
      hierarchy(std::make_unique<TriangleBvh>(vertex_list, triangle_list)) {}

Mesh::~Mesh() = default;

bool Mesh::enters(const Record&, const Vector3d& from, const Vector3d& to,
                  SurfaceHit& hit) const noexcept {
  return hierarchy->first_crossing(from, to, hit);
}

// A ray out of the mesh's bounds crosses a closed surface an odd number of times from inside.
// It leans off the axes so that it does not run along the edges of axis-aligned meshes.
bool Mesh::contains(const Record&, const Vector3d& point) const noexcept {
  const Vector3d low = hierarchy->lowest(), high = hierarchy->highest();
  for (std::size_t i = 0; i < 3; ++i)
    if (point[i] <= low[i] || point[i] >= high[i]) return false;
  const double reach = norm(high - low) + 1;
  const Vector3d direction{0.9271838545667874, 0.2834733547569204, 0.24491866240370913};
  return hierarchy->crossings(point, point + reach * direction) % 2 == 1;
}

}  // namespace Orvex::HardwareAPI::Haptics
