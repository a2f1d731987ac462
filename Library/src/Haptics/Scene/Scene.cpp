#include "Haptics/Scene.h"

#include "GodObject.h"
#include "ShapeList.h"
#include "TrackedShapes.h"
#include "UpdateBlocks.h"
#include "VectorMath.h"

namespace Orvex::HardwareAPI::Haptics {

using namespace VectorMath;

static_assert(Scene::capacity == TrackedShapes::capacity, "the loop tracks every shape");

namespace {

// What the loop last rendered, for contact() on other threads.
struct ContactRecord {
  bool touching = false;
  std::uint64_t shape = 0;  // the shape's id in the list
  Vector3d proxy{};
  double depth = 0;
  Vector3d normal{};
};

}  // namespace

struct Scene::Parts {
  ShapeList list{Scene::capacity};
  UpdateBlocks blocks;
  Seqlock<ContactRecord> contact;  // written by the loop alone
  // Loop thread only.
  TrackedShapes tracked;
  GodObject god;
  bool afresh = true;
};

Scene::Scene() : parts(std::make_unique<Parts>()) {}
Scene::~Scene() = default;

AddResult Scene::add(std::shared_ptr<Shape> shape) { return parts->list.add(std::move(shape)); }
bool Scene::remove(const Shape* shape) { return parts->list.remove(shape); }
void Scene::clear() { parts->list.clear(); }
void Scene::open_block() { parts->blocks.open(); }
void Scene::close_block() { parts->blocks.close(); }
std::size_t Scene::size() const { return parts->list.size(); }
std::vector<std::shared_ptr<Shape>> Scene::shapes() const { return parts->list.shapes(); }

std::optional<SceneContact> Scene::contact() const {
  const ContactRecord record = parts->contact.load();
  if (!record.touching) return std::nullopt;
  // A shape removed since that cycle touches nothing any more.
  std::shared_ptr<Shape> shape = parts->list.find(record.shape);
  if (!shape) return std::nullopt;
  return SceneContact{std::move(shape), record.proxy, record.depth, record.normal};
}

void Scene::begin(const EffectContext& context) noexcept {
  parts->god.reset(context.position);
  parts->afresh = true;
}

Vector3d Scene::render(const EffectContext& context, const Parameters&) noexcept {
  Parts& p = *parts;
  const Vector3d& arm = context.position;
  const ShapeList::Snapshot& snapshot = p.list.enter();
  p.tracked.follow(snapshot, arm, p.god.position(), p.afresh, context.clock, p.blocks);
  p.afresh = false;
  p.god.step(p.tracked, arm);

  ContactRecord record;
  Vector3d force{};
  if (p.god.touching()) {
    const TrackedShapes::Tracked& shape = p.tracked[p.god.shape()];
    const Material& material = shape.record.material;
    const Vector3d& n = p.god.normal();
    force = material.stiffness * (p.god.position() - arm) -
            (material.damping * dot(context.velocity, n)) * n;
    // A surface pushes, never pulls: damping may slow the push to nothing, not beyond.
    const double push = dot(force, n);
    if (push < 0) force = force - push * n;
    record = {true, shape.id, p.god.position(), dot(p.god.position() - arm, n), n};
  } else {
    record.proxy = p.god.position();
  }
  p.list.leave();
  p.contact.store(record);
  return force;
}

bool Scene::proxy(Vector3d& point) const noexcept {
  point = parts->god.position();
  return true;
}

}  // namespace Orvex::HardwareAPI::Haptics
