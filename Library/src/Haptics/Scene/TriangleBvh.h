#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Haptics/Mesh.h"

namespace Orvex::HardwareAPI::Haptics {

// A bounding-volume hierarchy of axis-aligned boxes over a mesh's triangles, built once (on the
// thread that makes the mesh) by splitting at the median centroid along the widest axis, so its
// depth stays near log2 of the triangle count. Queries allocate nothing and may run on any
// number of threads at once.
class TriangleBvh {
 public:
  TriangleBvh(const std::vector<Vector3d>& vertices, const std::vector<Mesh::Triangle>& triangles);

  // The first triangle the segment a -> b crosses, from either side; the normal faces a. A start
  // a hair off a triangle, moving through it, meets it at t = 0.
  bool first_crossing(const Vector3d& a, const Vector3d& b, SurfaceHit& hit) const noexcept;
  // How many triangles the segment crosses.
  std::size_t crossings(const Vector3d& a, const Vector3d& b) const noexcept;

  Vector3d lowest() const { return nodes.front().low; }
  Vector3d highest() const { return nodes.front().high; }
  std::size_t depth() const { return levels; }

  // The deepest traversal the queries can keep: median splits of at most 2^32 triangles.
  static constexpr std::size_t max_depth = 40;

  // A triangle ready for the segment test: corner, edges, unit normal (zero when degenerate)
  // and what the barycentric coordinates need.
  struct Prepared {
    Vector3d corner, edge1, edge2, normal;
    double e11, e12, e22, inverse_area;
  };

 private:
  struct Node {
    Vector3d low, high;
    std::uint32_t first;  // a leaf's first triangle, or an inner node's second child
    std::uint32_t count;  // triangles of a leaf; 0 for an inner node (its first child follows it)
  };
  std::uint32_t build(std::vector<std::uint32_t>& order, std::uint32_t begin, std::uint32_t end,
                      const std::vector<Vector3d>& centroids,
                      const std::vector<Vector3d>& vertices,
                      const std::vector<Mesh::Triangle>& triangles, std::size_t level);
  // Visits every leaf whose box the segment a + t d, t in [0, limit()], passes through.
  template <class Leaf, class Limit>
  void traverse(const Vector3d& a, const Vector3d& d, Leaf leaf, Limit limit) const noexcept;

  std::vector<Node> nodes;
  std::vector<Prepared> prepared;  // in leaf order
  std::size_t levels = 0;
};

}  // namespace Orvex::HardwareAPI::Haptics
