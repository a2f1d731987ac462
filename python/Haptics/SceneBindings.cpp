// The scene as Python sees it: Scene, an effect holding shapes, and the five kinds of shape with
// keyword-only materials and read/write attributes of the same names. A change made here reaches
// the loop on its next cycle.

#include "SceneBindings.h"

#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

#include "Conventions.h"
#include "Haptics/Box.h"
#include "Haptics/Capsule.h"
#include "Haptics/Mesh.h"
#include "Haptics/Plane.h"
#include "Haptics/Scene.h"
#include "Haptics/Sphere.h"
#include "ShapeArguments.h"
#include "VectorArgument.h"

namespace Orvex::HardwareAPI::Python {

namespace {

namespace py = pybind11;
using namespace Haptics;

template <class Kind>
using ShapeClass = py::class_<Kind, Shape, std::shared_ptr<Kind>>;

constexpr const char* finite_rule = " needs three finite numbers";
constexpr const char* size_rule = " needs three finite numbers above zero";
constexpr const char* normal_rule = " needs three finite numbers, not all zero";
constexpr const char* length_rule = " must be finite and above zero";

// The material keywords every shape takes after its geometry.
#define ORVEX_MATERIAL_KEYWORDS                                                         \
  py::kw_only(), py::arg("stiffness") = 1000.0, py::arg("damping") = 0.0,               \
      py::arg("static_friction") = 0.0, py::arg("dynamic_friction") = 0.0

void assign_material(Shape& shape, double stiffness, double damping, double static_friction,
                     double dynamic_friction) {
  const Material material{stiffness, damping, static_friction, dynamic_friction};
  if (const char* problem = material.problem()) throw py::value_error(problem);
  shape.set_material(material);
}

// A checked setter of a shape, its refusal raised as a ValueError naming the argument.
// (Setters reached through a kind's using-declarations are the base Shape's members.)
template <class Kind, class Setter, class Value>
void assign(Kind& shape, Setter set, const Value& value, const std::string& refused) {
  require((shape.*set)(value), refused);
}

template <class Kind>
void assign_length(Kind& shape, bool (Kind::*set)(double), double value, const char* name) {
  require((shape.*set)(value), std::string(name) + length_rule);
}

template <class Kind, class Getter, class Setter>
void vector_attribute(ShapeClass<Kind>& cls, const char* name, Getter get, Setter set,
                      const char* rule = finite_rule) {
  cls.def_property(name, get, [=](Kind& shape, py::handle value) {
    assign(shape, set, vector_argument(value, name), std::string(name) + rule);
  });
}

template <class Kind>
void length_attribute(ShapeClass<Kind>& cls, const char* name, double (Kind::*get)() const,
                      bool (Kind::*set)(double)) {
  cls.def_property(name, get,
                   [=](Kind& shape, double value) { assign_length(shape, set, value, name); });
}

template <class Kind>
void orientation_attribute(ShapeClass<Kind>& cls) {
  cls.def_property("orientation", &Kind::orientation, [](Kind& shape, py::handle value) {
    assign(shape, &Kind::set_orientation, quaternion_argument(value, "orientation"),
           "orientation needs four finite numbers, not all zero");
  });
}

// A material value: refused, it names why (the friction's order included).
void material_attribute(py::class_<Shape, std::shared_ptr<Shape>>& cls, const char* name,
                        double Material::*field, bool (Shape::*set)(double)) {
  cls.def_property(
      name, [=](const Shape& shape) { return shape.material().*field; },
      [=](Shape& shape, double value) {
        if ((shape.*set)(value)) return;
        Material wanted = shape.material();
        wanted.*field = value;
        const char* problem = wanted.problem();
        throw py::value_error(problem ? problem : "the material changed meanwhile; try again");
      });
}

template <class Kind>
void place(Kind& shape, py::handle position, py::handle orientation) {
  assign(shape, &Kind::set_position, vector_argument(position, "position"),
         "position needs three finite numbers");
  assign(shape, &Kind::set_orientation, quaternion_argument(orientation, "orientation"),
         "orientation needs four finite numbers, not all zero");
}

std::shared_ptr<Sphere> sphere(double radius, py::handle position, double stiffness,
                               double damping, double static_friction, double dynamic_friction) {
  auto shape = std::make_shared<Sphere>();
  assign_length(*shape, &Sphere::set_radius, radius, "radius");
  assign(*shape, &Sphere::set_position, vector_argument(position, "position"),
         "position needs three finite numbers");
  assign_material(*shape, stiffness, damping, static_friction, dynamic_friction);
  return shape;
}

std::shared_ptr<Box> box(py::handle size, py::handle position, py::handle orientation,
                         double stiffness, double damping, double static_friction,
                         double dynamic_friction) {
  auto shape = std::make_shared<Box>();
  assign(*shape, &Box::set_size, vector_argument(size, "size"), std::string("size") + size_rule);
  place(*shape, position, orientation);
  assign_material(*shape, stiffness, damping, static_friction, dynamic_friction);
  return shape;
}

std::shared_ptr<Plane> plane(py::handle point, py::handle normal, double stiffness,
                             double damping, double static_friction, double dynamic_friction) {
  auto shape = std::make_shared<Plane>();
  assign(*shape, &Plane::set_point, vector_argument(point, "point"),
         std::string("point") + finite_rule);
  assign(*shape, &Plane::set_normal, vector_argument(normal, "normal"),
         std::string("normal") + normal_rule);
  assign_material(*shape, stiffness, damping, static_friction, dynamic_friction);
  return shape;
}

std::shared_ptr<Capsule> capsule(double radius, double length, py::handle position,
                                 py::handle orientation, double stiffness, double damping,
                                 double static_friction, double dynamic_friction) {
  auto shape = std::make_shared<Capsule>();
  assign_length(*shape, &Capsule::set_radius, radius, "radius");
  assign_length(*shape, &Capsule::set_length, length, "length");
  place(*shape, position, orientation);
  assign_material(*shape, stiffness, damping, static_friction, dynamic_friction);
  return shape;
}

std::shared_ptr<Mesh> mesh(py::handle vertices, py::handle triangles, py::handle position,
                           py::handle orientation, double stiffness, double damping,
                           double static_friction, double dynamic_friction) {
  auto points = vertices_argument(vertices);
  auto faces = triangles_argument(triangles, points.size());
  if (const char* problem = Mesh::problem(points, faces)) throw py::value_error(problem);
  // Building the hierarchy of a large mesh takes a while; other Python threads run meanwhile.
  std::shared_ptr<Mesh> shape =
      unlocked([&] { return Mesh::make(std::move(points), std::move(faces)); });
  place(*shape, position, orientation);
  assign_material(*shape, stiffness, damping, static_friction, dynamic_friction);
  return shape;
}

std::shared_ptr<Shape> add(Scene& scene, std::shared_ptr<Shape> shape) {
  switch (scene.add(shape)) {
    case AddResult::added: return shape;
    case AddResult::null: throw py::type_error("shape must be a Shape, not None");
    case AddResult::duplicate:
    case AddResult::held_elsewhere: throw py::value_error("the shape is in the scene already");
    case AddResult::full: break;
  }
  throw std::runtime_error("a scene holds at most " + std::to_string(Scene::capacity) +
                           " shapes");
}

// Waits until the loop's cycle has let go of the shape.
void remove(Scene& scene, const Shape& shape) {
  if (!unlocked([&] { return scene.remove(&shape); }))
    throw py::value_error("the shape is not in the scene");
}

PoseHold pose_hold_named(const std::string& name) {
  if (name == "interpolate") return PoseHold::interpolate;
  if (name == "linear") return PoseHold::linear;
  throw py::value_error("hold must be \"interpolate\" or \"linear\", not \"" + name + "\"");
}

// shape.set_pose(position, orientation=None, time=None, hold=...): None keeps the orientation.
void set_pose(Shape& shape, py::handle position, py::handle orientation,
              std::optional<double> time, const std::string& hold) {
  const Vector3d at = vector_argument(position, "position");
  const Quaternion turned = orientation.is_none() ? shape.record().orientation
                                                  : quaternion_argument(orientation, "orientation");
  require(shape.set_pose(at, turned, time, pose_hold_named(hold)),
          "position, orientation and time must be finite, the orientation not all zero");
}

// `with scene.update():` the changes made to the scene's shapes inside reach the loop at one cycle.
struct SceneUpdate {
  std::shared_ptr<Scene> scene;
  bool open = false;
};

py::object contact(const Scene& scene) {
  const std::optional<SceneContact> touching = scene.contact();
  if (!touching) return py::none();
  py::dict result;
  result["shape"] = touching->shape;
  result["proxy"] = py::make_tuple(touching->proxy[0], touching->proxy[1], touching->proxy[2]);
  result["depth"] = touching->depth;
  result["normal"] =
      py::make_tuple(touching->normal[0], touching->normal[1], touching->normal[2]);
  return std::move(result);
}

}  // namespace

void bind_scene(py::module_& module) {
  py::class_<Shape, std::shared_ptr<Shape>> shape_class(
      module, "Shape", "Something a Scene renders: a pose, a material and a geometry");
  material_attribute(shape_class, "stiffness", &Material::stiffness, &Shape::set_stiffness);
  material_attribute(shape_class, "damping", &Material::damping, &Shape::set_damping);
  material_attribute(shape_class, "static_friction", &Material::static_friction,
                     &Shape::set_static_friction);
  material_attribute(shape_class, "dynamic_friction", &Material::dynamic_friction,
                     &Shape::set_dynamic_friction);
  shape_class.def("set_pose", &set_pose, py::arg("position"), py::arg("orientation") = py::none(),
                  py::kw_only(), py::arg("time") = py::none(), py::arg("hold") = "interpolate",
                  "Place and turn the shape in one change. With a time on now()'s clock, the "
                  "loop moves it between this pose and the one set before with an earlier time: "
                  "\"interpolate\" one period late, \"linear\" on from this one");

  py::class_<SceneUpdate>(module, "SceneUpdate",
                          "A block of changes to a scene's shapes that the loop takes at one cycle")
      .def("__enter__",
           [](SceneUpdate& block) -> SceneUpdate& {
             if (block.open) throw py::value_error("this block is open already");
             block.scene->open_block();
             block.open = true;
             return block;
           },
           py::return_value_policy::reference_internal)
      .def("__exit__", [](SceneUpdate& block, const py::args&) {
        if (block.open) block.scene->close_block();
        block.open = false;
        return false;
      });

  ShapeClass<Sphere> sphere_class(module, "Sphere", "A ball of radius around position");
  sphere_class.def(py::init(&sphere), py::arg("radius"), py::arg("position") = Vector3d{},
                   ORVEX_MATERIAL_KEYWORDS);
  length_attribute(sphere_class, "radius", &Sphere::radius, &Sphere::set_radius);
  vector_attribute(sphere_class, "position", &Sphere::position, &Sphere::set_position);

  ShapeClass<Box> box_class(module, "Box",
                            "A box of full edge lengths size, centred on position, turned by "
                            "orientation (w, x, y, z)");
  box_class.def(py::init(&box), py::arg("size"), py::arg("position") = Vector3d{},
                py::arg("orientation") = Quaternion{1, 0, 0, 0}, ORVEX_MATERIAL_KEYWORDS);
  vector_attribute(box_class, "size", &Box::size, &Box::set_size, size_rule);
  vector_attribute(box_class, "position", &Box::position, &Box::set_position);
  orientation_attribute(box_class);

  ShapeClass<Plane> plane_class(module, "Plane",
                                "The half-space behind the plane through point, normal out");
  plane_class.def(py::init(&plane), py::arg("point"), py::arg("normal"), ORVEX_MATERIAL_KEYWORDS);
  vector_attribute(plane_class, "point", &Plane::point, &Plane::set_point);
  vector_attribute(plane_class, "normal", &Plane::normal, &Plane::set_normal, normal_rule);

  ShapeClass<Capsule> capsule_class(
      module, "Capsule",
      "The points within radius of a segment along the capsule's own x axis, length between "
      "the centres of its end caps");
  capsule_class.def(py::init(&capsule), py::arg("radius"), py::arg("length"),
                    py::arg("position") = Vector3d{},
                    py::arg("orientation") = Quaternion{1, 0, 0, 0}, ORVEX_MATERIAL_KEYWORDS);
  length_attribute(capsule_class, "radius", &Capsule::radius, &Capsule::set_radius);
  length_attribute(capsule_class, "length", &Capsule::length, &Capsule::set_length);
  vector_attribute(capsule_class, "position", &Capsule::position, &Capsule::set_position);
  orientation_attribute(capsule_class);

  ShapeClass<Mesh> mesh_class(module, "Mesh",
                              "Triangles (rows of three vertex indices) felt from both sides");
  mesh_class.def(py::init(&mesh), py::arg("vertices"), py::arg("triangles"),
                 py::arg("position") = Vector3d{}, py::arg("orientation") = Quaternion{1, 0, 0, 0},
                 ORVEX_MATERIAL_KEYWORDS);
  mesh_class.def_property_readonly("vertices", &Mesh::vertices);
  mesh_class.def_property_readonly("triangles", &Mesh::triangles);
  vector_attribute(mesh_class, "position", &Mesh::position, &Mesh::set_position);
  orientation_attribute(mesh_class);

  py::class_<Scene, Effect, std::shared_ptr<Scene>>(
      module, "Scene", "Shapes felt through a proxy that never crosses their surfaces")
      .def(py::init<>())
      .def("add", &add, py::arg("shape"), "Render a shape from the next cycle on; returns it")
      .def("remove", &remove, py::arg("shape"), "Stop rendering a shape")
      .def("clear", [](Scene& scene) { unlocked([&] { scene.clear(); }); },
           "Stop rendering every shape")
      .def("contact", &contact,
           "None when the proxy touches nothing, else a dict: shape, proxy, depth, normal")
      .def("update", [](const std::shared_ptr<Scene>& scene) { return SceneUpdate{scene, false}; },
           "`with scene.update():` every change made to its shapes in the block reaches the loop "
           "at one cycle; until the block ends, the loop renders them as they were")
      .def("__len__", &Scene::size)
      .def("__iter__", [](const Scene& scene) {
        return py::iter(py::cast(scene.shapes()));
      });
}

#undef ORVEX_MATERIAL_KEYWORDS

}  // namespace Orvex::HardwareAPI::Python
