// The scene's cost on the loop thread, measured by calling its render() as the servo loop does,
// one cycle after another, without a device: per-cycle time (p50, p99, max) and heap allocations
// for ten primitives, one 100,000-triangle mesh held pressed, and the proxy sliding across that
// mesh at 0.2 m/s; and the time to build the mesh's hierarchy (on the caller's thread).
// Prints one line of JSON. Argument: --smoke for a short run.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "AllocationCounter.h"
#include "Haptics/Box.h"
#include "Haptics/Capsule.h"
#include "Haptics/Mesh.h"
#include "Haptics/Plane.h"
#include "Haptics/Scene.h"
#include "Haptics/Sphere.h"
#include "TorusGeometry.h"

namespace {

using namespace Orvex::HardwareAPI::Haptics;
using Clock = std::chrono::steady_clock;

constexpr double major_radius = Orvex::Testing::TorusGeometry::major_radius;
constexpr double minor_radius = Orvex::Testing::TorusGeometry::minor_radius;
constexpr double period = 0.001;  // s: 1 kHz
constexpr double speed = 0.2;     // m/s

struct Figures {
  double p50_us, p99_us, max_us, touching_percent;
  unsigned long long allocations, cycles;
};

// Renders `cycles` cycles with the arm where path(time) puts it.
Figures run(Scene& scene, long cycles, const std::function<Vector3d(double)>& path) {
  std::vector<double> took(static_cast<std::size_t>(cycles));
  long touching = 0;
  const std::uint64_t allocations_before = Orvex::Bench::allocation_count();
  for (long n = 0; n < cycles; ++n) {
    EffectContext context;
    context.cycle = static_cast<std::uint64_t>(n);
    context.time = n * period;
    context.dt = period;
    context.position = path(context.time);
    const Vector3d ahead = path(context.time + period);
    for (std::size_t i = 0; i < 3; ++i)
      context.velocity[i] = (ahead[i] - context.position[i]) / period;
    const auto start = Clock::now();
    if (n == 0) scene.begin(context);
    scene.render(context, {});
    took[static_cast<std::size_t>(n)] =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    Vector3d proxy;
    scene.proxy(proxy);
    touching += proxy != context.position;
  }
  const std::uint64_t allocations = Orvex::Bench::allocation_count() - allocations_before;
  std::sort(took.begin(), took.end());
  auto at = [&](double q) { return took[static_cast<std::size_t>(q * (took.size() - 1))]; };
  return {at(0.5), at(0.99), took.back(), 100.0 * touching / cycles,
          static_cast<unsigned long long>(allocations), static_cast<unsigned long long>(cycles)};
}

void print(const char* name, const Figures& f, bool last = false) {
  std::printf(
      "\"%s\": {\"p50_us\": %.3f, \"p99_us\": %.3f, \"max_us\": %.3f, \"touching_percent\": "
      "%.1f, \"allocations\": %llu, \"cycles\": %llu}%s",
      name, f.p50_us, f.p99_us, f.max_us, f.touching_percent, f.allocations, f.cycles,
      last ? "" : ", ");
}

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
  const long cycles = smoke ? 2000 : 30000;

  // Ten primitives around a circle the arm runs along, 1 cm inside their surfaces where it
  // meets them, and a floor and a wall beside it.
  Scene primitives;
  for (int i = 0; i < 8; ++i) {
    const double a = 2 * M_PI * i / 8;
    const Vector3d at{0.05 * std::cos(a), 0.05 * std::sin(a), 0};
    std::shared_ptr<Shape> shape;
    if (i % 3 == 0) {
      auto s = std::make_shared<Sphere>();
      s->set_radius(0.012);
      s->set_position(at);
      shape = s;
    } else if (i % 3 == 1) {
      auto b = std::make_shared<Box>();
      b->set_size({0.02, 0.02, 0.02});
      b->set_position(at);
      b->set_orientation({std::cos(a / 2), 0, 0, std::sin(a / 2)});
      shape = b;
    } else {
      auto c = std::make_shared<Capsule>();
      c->set_radius(0.008);
      c->set_length(0.02);
      c->set_position(at);
      c->set_orientation({std::cos(a / 2), 0, 0, std::sin(a / 2)});
      shape = c;
    }
    shape->set_material(Material{1000, 1, 0.3, 0.2});
    primitives.add(shape);
  }
  auto floor = std::make_shared<Plane>();
  floor->set_point({0, 0, -0.005});
  auto wall = std::make_shared<Plane>();
  wall->set_point({0.06, 0, 0});
  wall->set_normal({-1, 0, 0});
  primitives.add(floor);
  primitives.add(wall);
  const double circle = 0.05;
  const Figures ten = run(primitives, cycles, [&](double t) {
    const double a = speed * t / circle;
    return Vector3d{circle * std::cos(a), circle * std::sin(a), -0.002};
  });

  // 500 × 100 × 2 = 100,000 triangles.
  std::vector<double> builds;
  std::shared_ptr<Mesh> mesh;
  for (int i = 0; i < (smoke ? 1 : 5); ++i) {
    Orvex::Testing::TorusGeometry geometry = Orvex::Testing::torus_geometry(500, 100);
    const auto start = Clock::now();
    mesh = Mesh::make(std::move(geometry.vertices), std::move(geometry.triangles));
    builds.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(builds.begin(), builds.end());
  Scene meshed;
  meshed.add(mesh);
  const double rim = major_radius + minor_radius - 0.002;
  // Each mesh run starts 1 cm outside and comes in within its first 50 ms: an arm that starts
  // inside a shape does not feel it.
  auto coming_in = [&](double t, const Vector3d& x) {
    const double out = 0.01 * std::max(0.0, 1 - t / 0.05);
    const double r = std::hypot(x[0], x[1]);
    return Vector3d{x[0] * (r + out) / r, x[1] * (r + out) / r, x[2]};
  };
  const Figures pressed = run(meshed, cycles, [&](double t) {
    // Held 2 mm in, trembling by a few micrometres as a hand does.
    return coming_in(t, {rim + 5e-6 * std::sin(300 * t), 0.001, 0.002});
  });
  Scene sliding_scene;
  sliding_scene.add(mesh);
  const Figures sliding = run(sliding_scene, cycles, [&](double t) {
    const double a = speed * t / rim;  // along the outer equator at 0.2 m/s
    return coming_in(t, {rim * std::cos(a), rim * std::sin(a), 0.001});
  });

  std::printf("{\"triangles\": %zu, ", mesh->triangles().size());
  std::printf("\"build_ms\": %.1f, ", builds[builds.size() / 2]);
  print("ten_primitives", ten);
  print("mesh_pressed", pressed);
  print("mesh_sliding", sliding, true);
  std::printf("}\n");
  return 0;
}
