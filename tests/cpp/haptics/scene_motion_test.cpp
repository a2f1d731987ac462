// Shapes that move: poses set with a time, placed by the loop between or beyond them, and blocks
// of changes that the loop takes at one cycle, with writers racing it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>

#include "Haptics/Box.h"
#include "Haptics/Sphere.h"
#include "PoseAtTime.h"
#include "SceneRig.h"
#include "ShapeList.h"
#include "TrackedShapes.h"
#include "UpdateBlocks.h"

namespace {

using namespace SceneRig;

constexpr double pi = 3.14159265358979323846;

Quaternion about_z(double angle) { return {std::cos(angle / 2), 0, 0, std::sin(angle / 2)}; }

// Two timed poses: at 1.0 s at the origin unturned, at 1.1 s 1 cm along x turned 90° about z.
Shape::Record moved(PoseHold hold) {
  Shape::Record record;
  record.position = {0.01, 0, 0};
  record.orientation = about_z(pi / 2);
  record.motion.timed = record.motion.has_from = true;
  record.motion.hold = hold;
  record.motion.from_time_s = 1.0;
  record.motion.time_s = 1.1;
  return record;
}

struct PoseCase {
  const char* name;
  PoseHold hold;
  double now;
  double share;  // of the way from the first pose to the second
};

class PoseAt : public ::testing::TestWithParam<PoseCase> {};

TEST_P(PoseAt, PlacesTheShapeItsShareOfTheWayTurningAlongTheShortestArc) {
  const PoseCase& c = GetParam();
  const Shape::Record posed = pose_at(moved(c.hold), c.now);
  EXPECT_NEAR(posed.position[0], 0.01 * c.share, 1e-12);
  const Quaternion want = about_z(pi / 2 * c.share);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(posed.orientation[i], want[i], 1e-12) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Holds, PoseAt,
    ::testing::Values(PoseCase{"interpolate_at_the_last_pose", PoseHold::interpolate, 1.1, 0},
                      PoseCase{"interpolate_half_a_period_on", PoseHold::interpolate, 1.15, 0.5},
                      PoseCase{"interpolate_a_period_on", PoseHold::interpolate, 1.2, 1},
                      PoseCase{"interpolate_stays_at_the_last", PoseHold::interpolate, 9.0, 1},
                      PoseCase{"linear_at_the_last_pose", PoseHold::linear, 1.1, 1},
                      PoseCase{"linear_goes_on", PoseHold::linear, 1.15, 1.5},
                      PoseCase{"linear_stops_after_0_1_s", PoseHold::linear, 9.0, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PoseAt, LeavesAShapeWithoutMotionWhereItWasPut) {
  Shape::Record still = moved(PoseHold::linear);
  still.motion = {};
  EXPECT_EQ(pose_at(still, 5.0).position, still.position);
}

// The arm rests against a box's face while the application moves the box onto it at 0.1 m/s,
// at 60 Hz: the largest force step between two cycles.
double largest_step_pushed_by_a_box(bool timed) {
  Rig rig;
  auto box = std::make_shared<Box>();  // a 2 cm cube
  box->set_pose({-0.02, 0, 0}, {1, 0, 0, 0}, timed ? std::optional<double>(0.0) : std::nullopt);
  rig.scene->add(box);
  rig.move_to({-0.0095, 0, 0});
  rig.move_to({-0.0099, 0, 0});  // pressed 0.1 mm in
  double largest = 0;
  Vector3d before = rig.at({-0.0099, 0, 0});
  double next_update = rig.cycle * 0.001;
  for (int cycle = 0; cycle < 300; ++cycle) {
    const double now = rig.cycle * 0.001;
    if (now >= next_update) {
      box->set_pose({-0.02 + 0.1 * (now - 0.0), 0, 0}, {1, 0, 0, 0},
                    timed ? std::optional<double>(now) : std::nullopt);
      next_update += 1.0 / 60;
    }
    const Vector3d force = rig.at({-0.0099, 0, 0});
    if (cycle > 40) largest = std::max(largest, std::abs(force[0] - before[0]));
    before = force;
  }
  return largest;
}

TEST(ShapePose, ATimedPoseMovesTheShapeBetweenUpdatesWhereAnUntimedOneJumps) {
  const double jumping = largest_step_pushed_by_a_box(false);
  const double moving = largest_step_pushed_by_a_box(true);
  // 1000 N/m times the 1.7 mm between two updates, against 1000 N/m times 0.1 mm a cycle (twice
  // that once in a while: updates 16 and 17 ms apart end some periods a cycle early).
  EXPECT_GT(jumping, 1.0);
  EXPECT_LT(moving, jumping / 5);
}

TEST(ShapePose, RefusesWhatMakesNoPose) {
  Sphere sphere;
  EXPECT_FALSE(sphere.set_pose({NAN, 0, 0}, {1, 0, 0, 0}));
  EXPECT_FALSE(sphere.set_pose({0, 0, 0}, {0, 0, 0, 0}));
  EXPECT_FALSE(sphere.set_pose({0, 0, 0}, {1, 0, 0, 0}, INFINITY));
  EXPECT_TRUE(sphere.set_pose({0.1, 0, 0}, {2, 0, 0, 0}, 1.0));
  EXPECT_DOUBLE_EQ(sphere.record().orientation[0], 1.0);
}

// Two spheres moved together in blocks by two writers while a loop thread reads them: every cycle
// sees both where one block left them, never one moved and the other not. The writers take turns,
// as an application's do: blocks open at once are taken together, their changes interleaved.
TEST(UpdateBlocks, NoCycleSeesHalfABlockWhileWritersRace) {
  ShapeList list(TrackedShapes::capacity);
  UpdateBlocks blocks;
  auto first = std::make_shared<Sphere>(), second = std::make_shared<Sphere>();
  for (auto& sphere : {first, second}) {
    sphere->set_radius(0.001);
    sphere->set_position({0.5, 0.5, 0.5});
    list.add(sphere);
  }
  std::atomic<bool> stop{false};
  std::mutex turns;
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w)
    writers.emplace_back([&, w] {
      for (int n = 0; !stop.load(); ++n) {
        const double x = 0.1 + 1e-6 * (2 * n + w);
        {
          std::lock_guard<std::mutex> turn(turns);
          blocks.open();
          first->set_position({x, 0.5, 0.5});
          second->set_position({x, 0.5, 0.5});
          blocks.close();
        }
        // An application changes its scene now and then: a block always open would keep the
        // loop on the records of before.
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    });
  TrackedShapes tracked;
  Vector3d arm{0, 0, 0}, proxy{0, 0, 0};
  int half = 0, changes = 0;
  double seen = 0;
  // Cycles go on until the writers' blocks got through often, however the threads were scheduled.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int cycle = 0; cycle < 20000 || (changes <= 10 && std::chrono::steady_clock::now() < deadline);
       ++cycle) {
    const ShapeList::Snapshot& snapshot = list.enter();
    tracked.follow(snapshot, arm, proxy, cycle == 0, 0.001 * cycle, blocks);
    if (tracked[0].record.position != tracked[1].record.position) ++half;
    if (tracked[0].record.position[0] != seen) ++changes;
    seen = tracked[0].record.position[0];
    list.leave();
  }
  stop.store(true);
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(half, 0);
  EXPECT_GT(changes, 10);  // blocks do get through
}

}  // namespace
