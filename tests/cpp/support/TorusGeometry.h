#pragma once

// A torus around z made of triangles, their winding putting the normals outside: the mesh the
// scene's tests and its benchmark feel, made in code.

#include <cmath>
#include <cstdint>
#include <vector>

#include "Haptics/Mesh.h"

namespace Orvex::Testing {

struct TorusGeometry {
  static constexpr double major_radius = 0.05, minor_radius = 0.02;  // m

  std::vector<Orvex::HardwareAPI::Haptics::Vector3d> vertices;
  std::vector<Orvex::HardwareAPI::Haptics::Mesh::Triangle> triangles;
};

// around × across quads, two triangles each.
inline TorusGeometry torus_geometry(int around, int across) {
  TorusGeometry torus;
  const double major = TorusGeometry::major_radius, minor = TorusGeometry::minor_radius;
  for (int i = 0; i < around; ++i) {
    for (int j = 0; j < across; ++j) {
      const double u = 2 * M_PI * i / around, v = 2 * M_PI * j / across;
      const double ring = major + minor * std::cos(v);
      torus.vertices.push_back({ring * std::cos(u), ring * std::sin(u), minor * std::sin(v)});
    }
  }
  auto index = [&](int i, int j) {
    return static_cast<std::uint32_t>((i % around) * across + (j % across));
  };
  for (int i = 0; i < around; ++i) {
    for (int j = 0; j < across; ++j) {
      torus.triangles.push_back({index(i, j), index(i + 1, j), index(i + 1, j + 1)});
      torus.triangles.push_back({index(i, j), index(i + 1, j + 1), index(i, j + 1)});
    }
  }
  return torus;
}

}  // namespace Orvex::Testing
