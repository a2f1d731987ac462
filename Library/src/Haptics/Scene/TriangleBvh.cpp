#include "TriangleBvh.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "SurfaceEntry.h"
#include "VectorMath.h"

namespace Orvex::HardwareAPI::Haptics {

using namespace VectorMath;

namespace {

// Barycentric coordinates may fall this far outside a triangle: the seam between two triangles
// of a surface then holds as well as their insides.
constexpr double seam = 1e-9;

// Whether a + t d, t in [0, limit], passes through the box (grown by a hair).
bool passes(const Vector3d& a, const Vector3d& d, const Vector3d& low, const Vector3d& high,
            double limit) {
  constexpr double slack = 1e-9;
  double enter = 0, leave = limit;
  for (std::size_t i = 0; i < 3; ++i) {
    const double lo = low[i] - slack, hi = high[i] + slack;
    if (d[i] == 0) {
      if (a[i] < lo || a[i] > hi) return false;
      continue;
    }
    double near = (lo - a[i]) / d[i], far = (hi - a[i]) / d[i];
    if (near > far) std::swap(near, far);
    enter = std::max(enter, near);
    leave = std::min(leave, far);
    if (enter > leave) return false;
  }
  return true;
}

}  // namespace

namespace {

TriangleBvh::Prepared prepare(const Vector3d& p0, const Vector3d& p1, const Vector3d& p2) {
  TriangleBvh::Prepared t;
  t.corner = p0;
  t.edge1 = p1 - p0;
  t.edge2 = p2 - p0;
  const Vector3d n = cross(t.edge1, t.edge2);
  const double area = norm(n);
  t.normal = area > 0 ? (1 / area) * n : Vector3d{};
  t.e11 = dot(t.edge1, t.edge1);
  t.e12 = dot(t.edge1, t.edge2);
  t.e22 = dot(t.edge2, t.edge2);
  const double determinant = t.e11 * t.e22 - t.e12 * t.e12;
  t.inverse_area = determinant > 0 ? 1 / determinant : 0;
  if (t.inverse_area == 0) t.normal = {};  // a sliver with no surface to hold anything
  return t;
}

}  // namespace

TriangleBvh::TriangleBvh(const std::vector<Vector3d>& vertices,
                         const std::vector<Mesh::Triangle>& triangles) {
  std::vector<Vector3d> centroids(triangles.size());
  for (std::size_t i = 0; i < triangles.size(); ++i) {
    const Mesh::Triangle& t = triangles[i];
    centroids[i] = (1.0 / 3) * (vertices[t[0]] + vertices[t[1]] + vertices[t[2]]);
  }
  std::vector<std::uint32_t> order(triangles.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  build(order, 0, static_cast<std::uint32_t>(order.size()), centroids, vertices, triangles, 1);
  // In leaf order, so that a leaf's triangles lie side by side in memory.
  prepared.reserve(triangles.size());
  for (const std::uint32_t i : order) {
    const Mesh::Triangle& t = triangles[i];
    prepared.push_back(prepare(vertices[t[0]], vertices[t[1]], vertices[t[2]]));
  }
}

std::uint32_t TriangleBvh::build(std::vector<std::uint32_t>& order, std::uint32_t begin,
                                 std::uint32_t end, const std::vector<Vector3d>& centroids,
                                 const std::vector<Vector3d>& vertices,
                                 const std::vector<Mesh::Triangle>& triangles,
                                 std::size_t level) {
  levels = std::max(levels, level);
  const auto index = static_cast<std::uint32_t>(nodes.size());
  nodes.push_back({});
  constexpr double inf = std::numeric_limits<double>::infinity();
  Vector3d low{inf, inf, inf}, high{-inf, -inf, -inf};
  Vector3d centre_low = low, centre_high = high;
  for (std::uint32_t k = begin; k < end; ++k) {
    for (const std::uint32_t corner : triangles[order[k]]) {
      const Vector3d& p = vertices[corner];
      for (std::size_t i = 0; i < 3; ++i) {
        low[i] = std::min(low[i], p[i]);
        high[i] = std::max(high[i], p[i]);
      }
    }
    const Vector3d& c = centroids[order[k]];
    for (std::size_t i = 0; i < 3; ++i) {
      centre_low[i] = std::min(centre_low[i], c[i]);
      centre_high[i] = std::max(centre_high[i], c[i]);
    }
  }
  nodes[index].low = low;
  nodes[index].high = high;
  const Vector3d spread = centre_high - centre_low;
  const std::size_t axis = static_cast<std::size_t>(
      std::max_element(spread.begin(), spread.end()) - spread.begin());
  constexpr std::uint32_t leaf_size = 4;
  if (end - begin <= leaf_size || spread[axis] <= 0) {
    nodes[index].first = begin;
    nodes[index].count = end - begin;
    return index;
  }
  const std::uint32_t middle = begin + (end - begin) / 2;
  std::nth_element(order.begin() + begin, order.begin() + middle, order.begin() + end,
                   [&](std::uint32_t x, std::uint32_t y) {
                     return centroids[x][axis] < centroids[y][axis];
                   });
  build(order, begin, middle, centroids, vertices, triangles, level + 1);
  const std::uint32_t second =
      build(order, middle, end, centroids, vertices, triangles, level + 1);
  nodes[index].first = second;
  nodes[index].count = 0;
  return index;
}

template <class Leaf, class Limit>
void TriangleBvh::traverse(const Vector3d& a, const Vector3d& d, Leaf leaf,
                           Limit limit) const noexcept {
  std::array<std::uint32_t, max_depth + 1> pending;
  std::size_t size = 0;
  pending[size++] = 0;
  while (size > 0) {
    const Node& node = nodes[pending[--size]];
    if (!passes(a, d, node.low, node.high, limit())) continue;
    if (node.count > 0) {
      for (std::uint32_t k = node.first; k < node.first + node.count; ++k) leaf(prepared[k]);
      continue;
    }
    const auto here = static_cast<std::uint32_t>(&node - nodes.data());
    pending[size++] = node.first;
    pending[size++] = here + 1;
  }
}

bool TriangleBvh::first_crossing(const Vector3d& a, const Vector3d& b,
                                 SurfaceHit& hit) const noexcept {
  const Vector3d d = b - a;
  bool found = false;
  hit.t = 1;
  traverse(
      a, d,
      [&](const Prepared& t) {
        const double along = dot(d, t.normal);
        if (along == 0) return;  // gliding along it, or degenerate
        const double above = dot(a - t.corner, t.normal);
        // A start a hair off the plane, moving through it, is held where it is.
        double at = 0;
        if (std::abs(above) > SurfaceEntry::on_surface) {
          at = -above / along;
          if (at < 0) return;  // moving away from it
        }
        if (at > hit.t || (found && at == hit.t)) return;
        const Vector3d from_corner = a + at * d - t.corner;
        const double r1 = dot(from_corner, t.edge1), r2 = dot(from_corner, t.edge2);
        const double v = (t.e22 * r1 - t.e12 * r2) * t.inverse_area;
        const double w = (t.e11 * r2 - t.e12 * r1) * t.inverse_area;
        if (v < -seam || w < -seam || v + w > 1 + seam) return;
        hit.t = at;
        hit.normal = along < 0 ? t.normal : -1.0 * t.normal;
        found = true;
      },
      [&] { return hit.t; });
  return found;
}

std::size_t TriangleBvh::crossings(const Vector3d& a, const Vector3d& b) const noexcept {
  const Vector3d d = b - a;
  std::size_t count = 0;
  traverse(
      a, d,
      [&](const Prepared& t) {
        const double above = dot(a - t.corner, t.normal);
        const double after = dot(b - t.corner, t.normal);
        if ((above > 0) == (after > 0) || t.inverse_area == 0) return;
        const double at = above / (above - after);
        const Vector3d from_corner = a + at * d - t.corner;
        const double r1 = dot(from_corner, t.edge1), r2 = dot(from_corner, t.edge2);
        const double v = (t.e22 * r1 - t.e12 * r2) * t.inverse_area;
        const double w = (t.e11 * r2 - t.e12 * r1) * t.inverse_area;
        if (v >= 0 && w >= 0 && v + w <= 1) ++count;
      },
      [] { return 1.0; });
  return count;
}

}  // namespace Orvex::HardwareAPI::Haptics
