// A mesh's bounding-volume hierarchy against a brute-force search over all its triangles, and its
// inside against the exact solid it approximates.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "Haptics/Mesh.h"
#include "SceneRig.h"
#include "TorusGeometry.h"

namespace {

using namespace SceneRig;

constexpr double major_radius = Orvex::Testing::TorusGeometry::major_radius;
constexpr double minor_radius = Orvex::Testing::TorusGeometry::minor_radius;

std::shared_ptr<Mesh> torus(int around, int across) {
  Orvex::Testing::TorusGeometry geometry = Orvex::Testing::torus_geometry(around, across);
  return Mesh::make(geometry.vertices, geometry.triangles);
}

// Möller and Trumbore's segment-triangle test, from either side: t or infinity.
double crossing(const Vector3d& a, const Vector3d& b, const Vector3d& p0, const Vector3d& p1,
                const Vector3d& p2) {
  auto sub = [](const Vector3d& x, const Vector3d& y) {
    return Vector3d{x[0] - y[0], x[1] - y[1], x[2] - y[2]};
  };
  auto cross = [](const Vector3d& x, const Vector3d& y) {
    return Vector3d{x[1] * y[2] - x[2] * y[1], x[2] * y[0] - x[0] * y[2],
                    x[0] * y[1] - x[1] * y[0]};
  };
  auto dot = [](const Vector3d& x, const Vector3d& y) {
    return x[0] * y[0] + x[1] * y[1] + x[2] * y[2];
  };
  const double none = std::numeric_limits<double>::infinity();
  const Vector3d d = sub(b, a), e1 = sub(p1, p0), e2 = sub(p2, p0);
  const Vector3d h = cross(d, e2);
  const double det = dot(e1, h);
  if (det == 0) return none;
  const Vector3d s = sub(a, p0);
  const double u = dot(s, h) / det;
  if (u < 0 || u > 1) return none;
  const Vector3d q = cross(s, e1);
  const double v = dot(d, q) / det;
  if (v < 0 || u + v > 1) return none;
  const double t = dot(e2, q) / det;
  return t >= 0 && t <= 1 ? t : none;
}

TEST(SceneMeshTest, TheHierarchyFindsTheSameFirstCrossingAsEveryTriangleTried) {
  const auto mesh = torus(120, 60);
  ASSERT_TRUE(mesh);
  const Shape::Record record = mesh->record();
  std::mt19937 random(7);
  std::uniform_real_distribution<double> coordinate(-0.08, 0.08);
  std::uniform_real_distribution<double> reach(0.001, 0.05);
  int hits = 0;
  for (int query = 0; query < 3000; ++query) {
    const Vector3d a{coordinate(random), coordinate(random), coordinate(random) / 2};
    const Vector3d direction = unit({coordinate(random), coordinate(random), coordinate(random)});
    const Vector3d b = add(a, scale(reach(random), direction));
    double expected = std::numeric_limits<double>::infinity();
    for (const auto& t : mesh->triangles()) {
      expected = std::min(expected, crossing(a, b, mesh->vertices()[t[0]],
                                             mesh->vertices()[t[1]], mesh->vertices()[t[2]]));
    }
    SurfaceHit hit;
    const bool found = mesh->enters(record, a, b, hit);
    ASSERT_EQ(found, std::isfinite(expected)) << "query " << query;
    if (!found) continue;
    ++hits;
    EXPECT_NEAR(hit.t, expected, 1e-9) << "query " << query;
    // The normal faces the start.
    const Vector3d d = add(b, scale(-1, a));
    EXPECT_LT(d[0] * hit.normal[0] + d[1] * hit.normal[1] + d[2] * hit.normal[2], 0);
  }
  EXPECT_GT(hits, 300);
}

TEST(SceneMeshTest, InsideIsInsideTheSolidTheMeshApproximates) {
  const auto mesh = torus(120, 60);
  const Shape::Record record = mesh->record();
  std::mt19937 random(11);
  std::uniform_real_distribution<double> coordinate(-0.08, 0.08);
  int inside = 0;
  for (int query = 0; query < 5000; ++query) {
    const Vector3d p{coordinate(random), coordinate(random), coordinate(random) / 2};
    const double ring = std::hypot(p[0], p[1]) - major_radius;
    const double from_surface = std::hypot(ring, p[2]) - minor_radius;
    if (std::abs(from_surface) < 5e-4) continue;  // where the facets and the torus differ
    EXPECT_EQ(mesh->contains(record, p), from_surface < 0) << p[0] << " " << p[1] << " " << p[2];
    inside += from_surface < 0;
  }
  EXPECT_GT(inside, 200);
}

// Pressed into the torus's outer rim, the force is stiffness times depth, as on any surface (the
// facets meeting at the rim tilt it by a degree or so).
TEST(SceneMeshTest, AMeshIsFeltLikeAnyShape) {
  Rig rig;
  auto ring = torus(200, 100);
  ring->set_position({0.01, 0, 0});
  rig.scene->add(ring);
  rig.at({0.01 + major_radius + minor_radius + 0.01, 0, 0});
  const Vector3d force = rig.move_to({0.01 + major_radius + minor_radius - 0.003, 0, 0});
  EXPECT_NEAR(force[0], 1000 * 0.003, 0.03);
  EXPECT_NEAR(force[1], 0, 0.1);
  EXPECT_NEAR(force[2], 0, 0.1);
}

}  // namespace
