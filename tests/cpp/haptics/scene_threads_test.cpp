// Shapes added, moved and removed from four threads while a loop thread renders the scene: the
// loop never reads a torn record, nor a shape (or a list) that has been freed. Run it under the
// sanitizers too (AddressSanitizer for the frees, ThreadSanitizer for the hand-overs).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "Haptics/Sphere.h"
#include "SceneRig.h"

namespace {

using namespace SceneRig;

std::atomic<int> torn{0};
std::atomic<int> read_after_free{0};

// A sphere whose every published pose keeps position = (a, 2a, -a) and orientation = (c, s, 0, 0)
// with c² + s² = 1, and that knows when it is read after its destructor ran.
class Sentinel : public Sphere {
 public:
  Sentinel() { place(0); }
  ~Sentinel() override { alive.store(false); }

  void place(double a) {
    set_position({a, 2 * a, -a});
    set_orientation({std::cos(a), std::sin(a), 0, 0});
  }

  bool enters(const Record& record, const Vector3d& from, const Vector3d& to,
              SurfaceHit& hit) const noexcept override {
    check(record);
    return Sphere::enters(record, from, to, hit);
  }
  bool contains(const Record& record, const Vector3d& point) const noexcept override {
    check(record);
    return Sphere::contains(record, point);
  }

 private:
  void check(const Record& r) const {
    if (!alive.load()) ++read_after_free;
    const Vector3d& p = r.position;
    const Quaternion& q = r.orientation;
    if (p[1] != 2 * p[0] || p[2] != -p[0] || q[2] != 0 || q[3] != 0 ||
        std::abs(q[0] * q[0] + q[1] * q[1] - 1) > 1e-12)
      ++torn;
  }
  std::atomic<bool> alive{true};
};

TEST(SceneThreadsTest, ShapesChangedFromFourThreadsWhileTheLoopRendersAreNeverTornNorFreedUnderIt) {
  Rig rig;
  std::atomic<bool> stop{false};
  std::atomic<long> cycles{0};
  std::thread loop([&] {
    double angle = 0;
    while (!stop.load()) {
      angle += 0.01;
      // Sweeps through the region where the sentinels sit, so that they are tested every cycle.
      rig.at({0.03 * std::cos(angle), 0.03 * std::sin(angle), 0.01 * std::sin(3 * angle)});
      ++cycles;
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      for (int round = 0; round < 500; ++round) {
        auto shape = std::make_shared<Sentinel>();
        shape->set_radius(0.005 + 0.001 * w);
        rig.scene->add(shape);
        for (int move = 0; move < 10; ++move) shape->place(0.001 * ((round + move + w) % 20));
        if (round % 40 == 39 && w == 0) {
          rig.scene->clear();
        } else {
          rig.scene->remove(shape.get());
        }
        // Only this thread holds it now: it is freed here, after the loop let go of it.
      }
    });
  }
  std::thread reader([&] {
    while (!stop.load()) {
      if (const auto contact = rig.scene->contact()) {
        EXPECT_TRUE(contact->shape);
      }
      for (const auto& shape : rig.scene->shapes()) EXPECT_TRUE(shape);
    }
  });
  for (auto& writer : writers) writer.join();
  stop = true;
  loop.join();
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(read_after_free.load(), 0);
  EXPECT_EQ(rig.scene->size(), 0u);
  EXPECT_GT(cycles.load(), 100);
}

}  // namespace
