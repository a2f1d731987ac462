#include "SnapLaws.h"

#include <cmath>
#include <string>

#include "Haptics/NativeEffect.h"
#ifdef ORVEX_EXPRESSIONS
#include "Haptics/Expression.h"
#endif

namespace Orvex::Bench {

namespace {

using namespace HardwareAPI::Haptics;

class CppSnapPoint : public Effect {
 public:
  explicit CppSnapPoint(const SnapPoint& snap)
      : Effect(Parameters{snap.point[0], snap.point[1], snap.point[2], snap.stiffness,
                          snap.radius}) {}

  Vector3d render(const EffectContext& context, const Parameters& p) noexcept override {
    double offset[3], squared = 0;
    for (int i = 0; i < 3; ++i) {
      offset[i] = context.position[i] - p[i];
      squared += offset[i] * offset[i];
    }
    const double distance = std::sqrt(squared);
    if (!(distance < p[4])) return {};
    const double gain = -p[3] * (1.0 - distance / p[4]);
    return {gain * offset[0], gain * offset[1], gain * offset[2]};
  }
};

}  // namespace

extern "C" void bench_snap_point(const orvex_effect_input* input, const double* parameters,
                                 double*, double* force) {
  double offset[3], squared = 0;
  for (int i = 0; i < 3; ++i) {
    offset[i] = input->position[i] - parameters[i];
    squared += offset[i] * offset[i];
  }
  const double distance = std::sqrt(squared);
  if (!(distance < parameters[4])) return;
  const double gain = -parameters[3] * (1.0 - distance / parameters[4]);
  for (int i = 0; i < 3; ++i) force[i] = gain * offset[i];
}

std::shared_ptr<Effect> snap_expression([[maybe_unused]] const SnapPoint& snap) {
#ifdef ORVEX_EXPRESSIONS
  std::string error;
  return Expression::create(
      {{"d = sqrt((x-px)^2 + (y-py)^2 + (z-pz)^2), d < r ? -k*(x-px)*(1 - d/r) : 0",
        "d < r ? -k*(y-py)*(1 - d/r) : 0", "d < r ? -k*(z-pz)*(1 - d/r) : 0"},
       {{"px", snap.point[0]}, {"py", snap.point[1]}, {"pz", snap.point[2]},
        {"k", snap.stiffness}, {"r", snap.radius}},
       {{"d", 0.0}}},
      error);
#else
  return nullptr;
#endif
}

std::shared_ptr<Effect> snap_native(const SnapPoint& snap) {
  std::string error;
  return NativeEffect::create(
      &bench_snap_point,
      {snap.point[0], snap.point[1], snap.point[2], snap.stiffness, snap.radius}, 0, error);
}

std::shared_ptr<Effect> snap_cpp(const SnapPoint& snap) {
  return std::make_shared<CppSnapPoint>(snap);
}

}  // namespace Orvex::Bench
