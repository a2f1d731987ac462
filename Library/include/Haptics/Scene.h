#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "Haptics/Effect.h"
#include "Haptics/Shape.h"

namespace Orvex::HardwareAPI::Haptics {

// What the proxy touches, as the loop last rendered it.
struct SceneContact {
  std::shared_ptr<Shape> shape;  // the surface that holds the proxy
  Vector3d proxy{};
  double depth = 0;   // m, how far the arm is behind the proxy along the normal
  Vector3d normal{};  // unit, out of the surface
};

// Shapes rendered through a proxy (a god-object): a point that follows the arm but never
// crosses a surface. The force is stiffness × (proxy − position) plus damping along the contact
// normal, with Coulomb friction holding the proxy on the surface. An arm already inside a shape
// when the shape appears (or when the loop starts) feels nothing from it until it has left it.
//
// Threads: add(), remove(), clear(), shapes() and contact() from any thread; render(), begin()
// and proxy() from the thread of the one loop that renders the scene. A change to the shape list
// is published whole; remove() and clear() return once the loop no longer reads what they took
// out, so a shape is never freed while it is rendered.
class Scene : public Effect {
 public:
  static constexpr std::size_t capacity = 64;

  Scene();
  ~Scene() override;

  AddResult add(std::shared_ptr<Shape> shape);  // never held_elsewhere: shapes are shareable
  bool remove(const Shape* shape);
  void clear();
  std::size_t size() const;
  std::vector<std::shared_ptr<Shape>> shapes() const;
  std::optional<SceneContact> contact() const;  // none when the proxy touches nothing
  // Brackets a block of changes to the shapes' records that the loop takes at one cycle: it
  // keeps rendering the records of before while any block is open. In pairs, from any thread.
  void open_block();
  void close_block();

  Vector3d render(const EffectContext& context, const Parameters& parameters) noexcept override;
  void begin(const EffectContext& context) noexcept override;
  bool proxy(Vector3d& point) const noexcept override;
  bool shareable() const noexcept override { return false; }

 private:
  struct Parts;
  std::unique_ptr<Parts> parts;
};

}  // namespace Orvex::HardwareAPI::Haptics
