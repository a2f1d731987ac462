#pragma once

// Drives a Scene as a servo loop would, one cycle per call, without a device.

#include <cmath>
#include <memory>

#include "Haptics/Scene.h"

namespace SceneRig {

using namespace Orvex::HardwareAPI::Haptics;

inline Vector3d add(const Vector3d& a, const Vector3d& b) {
  return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
inline Vector3d scale(double s, const Vector3d& a) { return {s * a[0], s * a[1], s * a[2]}; }
inline double length(const Vector3d& a) { return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]); }
inline Vector3d unit(const Vector3d& a) { return scale(1 / length(a), a); }

struct Rig {
  std::shared_ptr<Scene> scene = std::make_shared<Scene>();
  std::uint64_t cycle = 0;
  Vector3d last{};

  // One cycle with the arm at x; the first one begins the scene, as a loop's first cycle does.
  Vector3d at(const Vector3d& x, const Vector3d& v = {}) {
    EffectContext context;
    context.position = x;
    context.velocity = v;
    context.cycle = cycle;
    context.dt = 0.001;
    context.time = 0.001 * static_cast<double>(cycle);
    context.clock = context.time;  // a layer's clock that started with the loop
    if (cycle == 0) scene->begin(context);
    ++cycle;
    last = x;
    return scene->render(context, {});
  }
  // Moves the arm from where it was to x in steps of at most step metres; the last force.
  Vector3d move_to(const Vector3d& x, double step = 0.0005) {
    const Vector3d d = add(x, scale(-1, last));
    const int steps = std::max(1, static_cast<int>(std::ceil(length(d) / step)));
    const Vector3d start = last;
    Vector3d force{};
    for (int i = 1; i <= steps; ++i) force = at(add(start, scale(double(i) / steps, d)));
    return force;
  }
  Vector3d proxy() const {
    Vector3d p{};
    scene->proxy(p);
    return p;
  }
};

}  // namespace SceneRig
