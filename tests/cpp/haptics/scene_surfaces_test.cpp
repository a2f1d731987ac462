// The scene against exact geometry: force = stiffness × depth along the normal on every kind of
// surface, no jump to another face over edges and corners, no pop-through of thin things, Coulomb
// friction, moving shapes, and shapes that appear around the arm.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Haptics/Box.h"
#include "Haptics/Capsule.h"
#include "Haptics/Mesh.h"
#include "Haptics/Plane.h"
#include "Haptics/Sphere.h"
#include "SceneRig.h"

namespace {

using namespace SceneRig;

constexpr double stiffness = 1000;
// The proxy is held a micrometre in front of a surface: a millinewton at this stiffness.
constexpr double force_tolerance = 2e-3;

Quaternion about(const Vector3d& axis, double angle) {
  const Vector3d u = unit(axis);
  const double s = std::sin(angle / 2);
  return {std::cos(angle / 2), s * u[0], s * u[1], s * u[2]};
}

Vector3d rotated(const Quaternion& q, const Vector3d& v) {
  // v' = q v q*, written out.
  const Vector3d u{q[1], q[2], q[3]};
  const Vector3d c{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
  const Vector3d cc{u[1] * c[2] - u[2] * c[1], u[2] * c[0] - u[0] * c[2], u[0] * c[1] - u[1] * c[0]};
  return add(v, add(scale(2 * q[0], c), scale(2, cc)));
}

// A surface point and its outward normal, in the world, on a shape made by make().
struct SurfaceCase {
  std::string name;
  std::function<std::shared_ptr<Shape>()> make;
  Vector3d point;
  Vector3d normal;
};

std::vector<SurfaceCase> surface_cases() {
  std::vector<SurfaceCase> cases;
  const Vector3d centre{0.01, -0.02, 0.005};
  const Vector3d direction = unit({1, 2, 3});
  cases.push_back({"sphere",
                   [=] {
                     auto s = std::make_shared<Sphere>();
                     s->set_radius(0.03);
                     s->set_position(centre);
                     return s;
                   },
                   add(centre, scale(0.03, direction)), direction});
  const Quaternion turn = about({1, 1, 0}, 0.5);
  const Vector3d size{0.04, 0.06, 0.08};
  for (std::size_t axis = 0; axis < 3; ++axis) {
    for (const double side : {-1.0, 1.0}) {
      Vector3d local{};
      local[axis] = side;
      const Vector3d n = rotated(turn, local);
      cases.push_back({"box face " + std::to_string(axis) + (side > 0 ? "+" : "-"),
                       [=] {
                         auto b = std::make_shared<Box>();
                         b->set_size(size);
                         b->set_position(centre);
                         b->set_orientation(turn);
                         return b;
                       },
                       add(centre, scale(size[axis] / 2, n)), n});
    }
  }
  const Vector3d plane_normal = unit({0, 1, 1});
  cases.push_back({"plane",
                   [=] {
                     auto p = std::make_shared<Plane>();
                     p->set_point({0, 0, 0.01});
                     p->set_normal({0, 2, 2});
                     return p;
                   },
                   {0.01, -0.005, 0.015}, plane_normal});
  const Quaternion tilt = about({0, 1, 1}, 0.7);
  auto capsule = [=] {
    auto c = std::make_shared<Capsule>();
    c->set_radius(0.02);
    c->set_length(0.06);
    c->set_position(centre);
    c->set_orientation(tilt);
    return c;
  };
  const Vector3d side = rotated(tilt, {0, 0, 1});
  cases.push_back({"capsule side", capsule,
                   add(add(centre, rotated(tilt, {0.01, 0, 0})), scale(0.02, side)), side});
  const Vector3d cap_direction = unit({1, 1, 0});
  const Vector3d cap_normal = rotated(tilt, cap_direction);
  cases.push_back({"capsule end cap", capsule,
                   add(add(centre, rotated(tilt, {0.03, 0, 0})), scale(0.02, cap_normal)),
                   cap_normal});
  return cases;
}

class SurfaceTest : public ::testing::TestWithParam<SurfaceCase> {};

TEST_P(SurfaceTest, PressedInTheForceIsStiffnessTimesDepthAlongTheNormal) {
  const SurfaceCase& c = GetParam();
  Rig rig;
  auto shape = c.make();
  shape->set_stiffness(stiffness);
  ASSERT_EQ(rig.scene->add(shape), AddResult::added);
  rig.at(add(c.point, scale(0.02, c.normal)));
  for (const double depth : {0.001, 0.004, 0.007}) {
    rig.move_to(add(c.point, scale(-depth, c.normal)));
    const Vector3d force = rig.at(rig.last);  // held still for a cycle
    for (std::size_t i = 0; i < 3; ++i)
      EXPECT_NEAR(force[i], stiffness * depth * c.normal[i], force_tolerance)
          << c.name << " depth " << depth << " axis " << i;
    const auto contact = rig.scene->contact();
    ASSERT_TRUE(contact) << c.name;
    EXPECT_EQ(contact->shape, shape);
    EXPECT_NEAR(contact->depth, depth, 2e-6) << c.name;
  }
  rig.move_to(add(c.point, scale(0.01, c.normal)));
  EXPECT_EQ(rig.at(rig.last), (Vector3d{})) << c.name << ": out of it, nothing";
  EXPECT_FALSE(rig.scene->contact());
}

INSTANTIATE_TEST_SUITE_P(Shapes, SurfaceTest, ::testing::ValuesIn(surface_cases()),
                         [](const auto& info) {
                           std::string name;
                           for (const char ch : info.param.name)
                             name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return name + std::to_string(info.index);
                         });

// Slides at a constant depth under the top face of a 4 cm cube, past an edge or a corner: the
// force points up the whole way, until the arm is off the top, and never sideways.
TEST(SceneEdgesTest, SlidingOverAnEdgeOrACornerTheForceNeverTurnsToAnotherFace) {
  for (const Vector3d& way : {Vector3d{1, 0, 0}, unit({1, 1, 0}), Vector3d{0, -1, 0}}) {
    Rig rig;
    auto box = std::make_shared<Box>();
    box->set_size({0.04, 0.04, 0.04});
    rig.scene->add(box);
    rig.at({0, 0, 0.03});
    rig.move_to({0, 0, 0.017});
    int pressed = 0;
    for (double s = 0; s < 0.04; s += 0.0002) {
      const Vector3d x = add(scale(s, way), {0, 0, 0.017});
      const Vector3d force = rig.at(x);
      if (length(force) == 0) continue;
      ++pressed;
      EXPECT_NEAR(force[0], 0, 1e-9) << "at " << s;
      EXPECT_NEAR(force[1], 0, 1e-9) << "at " << s;
      EXPECT_NEAR(force[2], stiffness * 0.003, force_tolerance) << "at " << s;
    }
    EXPECT_GT(pressed, 90);
  }
}

// Crossed at 0.5 m/s (half a millimetre a cycle), a 1 mm plate and a single triangle hold the
// proxy on the side it came from, however far the arm goes through.
TEST(SceneThinThingsTest, AThinPlateOrASingleTriangleNeverLetsTheProxyThrough) {
  std::vector<std::pair<std::string, std::shared_ptr<Shape>>> thin;
  auto plate = std::make_shared<Box>();
  plate->set_size({0.1, 0.1, 0.001});
  thin.emplace_back("plate", plate);
  thin.emplace_back("triangle", Mesh::make({{-0.05, -0.05, 0.0005}, {0.05, -0.05, 0.0005},
                                            {0, 0.08, 0.0005}},
                                           {{0, 1, 2}}));
  for (const auto& [name, shape] : thin) {
    for (const Vector3d& start : {Vector3d{0, 0, 0.02}, Vector3d{0.004, -0.003, 0.02}}) {
      Rig rig;
      rig.scene->add(shape);
      rig.at(start);
      for (int i = 1; i <= 80; ++i) {
        const Vector3d x{start[0] + 0.0001 * i, start[1], start[2] - 0.0005 * i};
        const Vector3d force = rig.at(x);
        EXPECT_GE(rig.proxy()[2], 0.0005) << name << " cycle " << i;
        if (x[2] < 0.0005) {
          EXPECT_NEAR(force[2], stiffness * (0.0005 - x[2]), force_tolerance) << name << " " << i;
        }
      }
    }
  }
}

TEST(SceneFrictionTest, StaticFrictionHoldsTheProxyBelowItsConeAndDynamicFrictionDragsAbove) {
  Rig rig;
  auto floor = std::make_shared<Plane>();
  Material m;
  m.stiffness = stiffness;
  m.static_friction = 0.5;
  m.dynamic_friction = 0.3;
  ASSERT_TRUE(floor->set_material(m));
  rig.scene->add(floor);
  rig.at({0, 0, 0.01});
  rig.move_to({0, 0, -0.01});  // 10 N of normal force
  // A tangential push of up to 4.9 N (below 0.5 × 10 N) leaves the proxy where it was.
  Vector3d force = rig.move_to({0.0049, 0, -0.01}, 0.0001);
  EXPECT_NEAR(rig.proxy()[0], 0, 1e-6);
  EXPECT_NEAR(force[0], -4.9, force_tolerance);
  EXPECT_NEAR(force[2], 10, force_tolerance);
  // Past 5 N it slides, dragged at 0.3 × the normal force.
  rig.move_to({0.008, 0, -0.01}, 0.0001);
  force = rig.at({0.0081, 0, -0.01});
  EXPECT_GT(rig.proxy()[0], 0.004);
  EXPECT_NEAR(force[0], -3.0, 0.05);
  EXPECT_NEAR(force[2], 10, force_tolerance);
  // Frictionless, the same push slides it straight over.
  ASSERT_TRUE(floor->set_material(Material{stiffness, 0, 0, 0}));
  force = rig.at({0.0082, 0, -0.01});
  EXPECT_NEAR(force[0], 0, force_tolerance);
}

TEST(SceneMotionTest, AMovingSpherePushesTheProxyOutAhead_OfItself) {
  Rig rig;
  auto ball = std::make_shared<Sphere>();
  ball->set_radius(0.02);
  ball->set_stiffness(stiffness);
  rig.scene->add(ball);
  const Vector3d arm{0.001, 0, 0.025};
  rig.at(arm);
  for (int i = 1; i <= 20; ++i) {
    ball->set_position({0, 0, 0.001 * i});
    rig.at(arm);
    const Vector3d from_centre = add(rig.proxy(), {0, 0, -0.001 * i});
    EXPECT_GE(length(from_centre), 0.02 - 1e-9) << "cycle " << i << ": the proxy is inside";
  }
  const Vector3d force = rig.at(arm);
  EXPECT_GT(force[2], 0.9 * stiffness * 0.015);
}

TEST(SceneAppearanceTest, AnArmInsideAShapeThatAppearsFeelsNothingUntilItHasLeft) {
  for (const bool before_start : {false, true}) {
    Rig rig;
    auto ball = std::make_shared<Sphere>();
    ball->set_radius(0.02);
    if (before_start) rig.scene->add(ball);
    rig.at({0, 0, 0.005});
    if (!before_start) rig.scene->add(ball);
    EXPECT_EQ(rig.move_to({0, 0.001, 0.01}), (Vector3d{}));
    EXPECT_EQ(rig.move_to({0, 0, 0.019}), (Vector3d{}));
    EXPECT_FALSE(rig.scene->contact());
    rig.move_to({0, 0, 0.03});  // out
    const Vector3d force = rig.move_to({0, 0, 0.015});
    EXPECT_NEAR(force[2], stiffness * 0.005, force_tolerance);
  }
}

TEST(SceneMaterialTest, RefusedValuesLeaveTheShapeAsItWas) {
  Sphere ball;
  EXPECT_FALSE(ball.set_radius(0));
  EXPECT_FALSE(ball.set_radius(NAN));
  EXPECT_FALSE(ball.set_static_friction(-1));
  EXPECT_TRUE(ball.set_static_friction(0.4));
  EXPECT_FALSE(ball.set_dynamic_friction(0.5));  // above static
  EXPECT_TRUE(ball.set_dynamic_friction(0.4));
  EXPECT_FALSE(ball.set_static_friction(0.3));  // below dynamic
  EXPECT_STREQ((Material{1, 0, 0.1, 0.2}).problem(),
               "dynamic_friction must not exceed static_friction");
  Box box;
  EXPECT_FALSE(box.set_size({0.1, 0, 0.1}));
  EXPECT_FALSE(box.set_orientation({0, 0, 0, 0}));
  EXPECT_TRUE(box.set_orientation({2, 0, 0, 0}));
  EXPECT_EQ(box.orientation(), (Quaternion{1, 0, 0, 0}));
  Plane plane;
  EXPECT_FALSE(plane.set_normal({0, 0, 0}));
  EXPECT_STREQ(Mesh::problem({{0, 0, 0}}, {{0, 0, 1}}), "triangles hold an index out of range");
  EXPECT_EQ(Mesh::make({}, {}), nullptr);
}

}  // namespace
