#pragma once

#include <array>
#include <optional>

#include "Haptics/Effect.h"
#include "Haptics/Material.h"
#include "Haptics/PublishedRecord.h"
#include "Haptics/ShapePose.h"

namespace Orvex::HardwareAPI::Haptics {

// A unit quaternion w, x, y, z: the rotation from a shape's own frame to the world's.
using Quaternion = std::array<double, 4>;

// Where a segment first meets a shape's surface, in the shape's own frame.
struct SurfaceHit {
  double t = 0;      // 0 at the segment's start, 1 at its end
  Vector3d normal{};  // unit, pointing out of the shape (towards the segment's start)
};

// Something a Scene renders: a pose, a material and a geometry, all settable live from any
// thread. Everything the loop reads of a shape is one record published through a seqlock, so a
// change (a new pose, a new material, a new radius) reaches the loop whole at its next cycle.
// Setters refuse values that make no shape (returning false, the shape unchanged).
class Shape {
 public:
  // The published state. extent holds the kind's own sizes (a sphere's radius, a box's edges, a
  // capsule's radius and length, a plane's unit normal).
  struct Record {
    Vector3d position{};
    Quaternion orientation{1, 0, 0, 0};
    Material material{};
    Vector3d extent{};
    PoseMotion motion{};  // where the loop moves the pose between timed poses
  };

  virtual ~Shape() = default;
  Shape(const Shape&) = delete;
  Shape& operator=(const Shape&) = delete;

  Material material() const { return record().material; }
  double stiffness() const { return material().stiffness; }
  double damping() const { return material().damping; }
  double static_friction() const { return material().static_friction; }
  double dynamic_friction() const { return material().dynamic_friction; }
  bool set_material(const Material& material);  // see Material::problem()
  bool set_stiffness(double stiffness);
  bool set_damping(double damping);
  bool set_static_friction(double friction);
  bool set_dynamic_friction(double friction);
  // Sets position and orientation (finite; the quaternion not zero, normalised) as one change.
  // With a time on the layer's clock (Haptics/Clock.h, as a coupling's updates), the loop moves
  // the shape between this pose and the one set before it with an earlier time, as hold says;
  // without one, the shape stands here.
  bool set_pose(const Vector3d& position, const Quaternion& orientation,
                std::optional<double> time_s = std::nullopt,
                PoseHold hold = PoseHold::interpolate);
  // As set_orientation(), but false at once (nothing changes) when another thread is changing
  // the shape this instant: for a thread that must not wait.
  bool try_set_orientation(const Quaternion& orientation);

  // Any thread: the record as last published. The loop uses try_read(), which gives up rather
  // than wait for a writer (false: keep the record read before).
  Record record() const { return published.read_from_non_rt(); }
  bool try_read(Record& record) const { return published.read_from_rt(record); }

  // Loop thread (any thread may call them: they only read their arguments), in the shape's own
  // frame: where the segment from -> to first enters the shape from outside (false when it does
  // not), and whether a point is inside.
  virtual bool enters(const Record& record, const Vector3d& from, const Vector3d& to,
                      SurfaceHit& hit) const noexcept = 0;
  virtual bool contains(const Record& record, const Vector3d& point) const noexcept = 0;

 protected:
  explicit Shape(const Record& initial) : published(initial) {}

  Vector3d position() const { return record().position; }
  Quaternion orientation() const { return record().orientation; }
  Vector3d extent() const { return record().extent; }
  bool set_position(const Vector3d& position);           // finite
  bool set_orientation(const Quaternion& orientation);   // finite, not zero; normalised

  // Publishes the record that change makes of the current one, unless change returns false;
  // writers take turns.
  template <class Change>
  bool update(Change&& change) {
    return published.write_from_non_rt(change);
  }
  // As update(), but false at once (nothing changes) when another writer is changing the record.
  template <class Change>
  bool try_update(Change&& change) {
    return published.try_write_from_non_rt(change);
  }

 private:
  bool change_material(double Material::*field, double value);

  PublishedRecord<Record> published;
};

}  // namespace Orvex::HardwareAPI::Haptics
