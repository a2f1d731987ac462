// The network channel as Python sees it: Publisher of an arm's or a handle's state, and
// Teleoperation, the effect that couples an arm to another over DDS.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "Bindings.h"
#include "Conventions.h"
#include "ExitSafeHandleListener.h"
#include "Haptics/Publisher.h"
#include "Haptics/Teleoperation.h"

namespace Orvex::HardwareAPI::Python {

namespace {

using namespace Haptics;

RosEndpoint endpoint(const std::string& ns, std::optional<std::uint32_t> domain,
                     const std::string& frame_id) {
  RosEndpoint endpoint;
  endpoint.ns = ns;
  endpoint.domain = domain ? *domain : RosEndpoint::domain_from_environment();
  endpoint.frame_id = frame_id;
  if (std::string why = endpoint.problem(); !why.empty()) throw py::value_error(why);
  return endpoint;
}

std::unique_ptr<Publisher> publisher(py::handle source, const std::string& ns,
                                     std::optional<std::uint32_t> domain,
                                     const std::string& frame_id) {
  const RosEndpoint where = endpoint(ns, domain, frame_id);
  if (py::isinstance<ExitSafeHandleListener>(source))
    return std::make_unique<Publisher>(source.cast<const ExitSafeHandleListener&>(), where);
  // The loop is the Python object's own; the tap the publisher adds is an effect like any other.
  auto& loop = const_cast<ServoLoop&>(servo_loop_in(source, "source"));
  return std::make_unique<Publisher>(loop, where);
}

void start_publisher(Publisher& self) {
  const std::string why = unlocked([&] { return self.start(); });
  if (!why.empty()) throw std::runtime_error(why);
}

py::dict publisher_stats(const Publisher& self) {
  const PublisherStats stats = self.stats();
  py::dict result;
  result["published"] = stats.published;
  result["dropped"] = stats.dropped;
  return result;
}

TeleoperationRole role_named(const std::string& name) {
  if (name == "leader") return TeleoperationRole::leader;
  if (name == "follower") return TeleoperationRole::follower;
  throw py::value_error("role must be \"leader\" or \"follower\", not \"" + name + "\"");
}

std::shared_ptr<Teleoperation> teleoperation(const std::string& role, const std::string& ns,
                                             std::optional<std::uint32_t> domain,
                                             const std::string& frame_id, double stiffness,
                                             double damping, double max_force,
                                             double lost_after_s, double emulate_delay_s,
                                             double jitter_s, double loss, std::uint64_t seed) {
  TeleoperationSettings settings;
  settings.role = role_named(role);
  settings.endpoint = endpoint(ns, domain, frame_id);
  settings.stiffness = stiffness;
  settings.damping = damping;
  settings.max_force = max_force;
  settings.lost_after_s = lost_after_s;
  settings.emulation = {emulate_delay_s, jitter_s, loss, seed};
  if (std::string why = settings.problem(); !why.empty()) throw py::value_error(why);
  std::string why;
  std::shared_ptr<Teleoperation> side = unlocked([&] { return Teleoperation::open(settings, why); });
  if (!side) throw std::runtime_error(why);
  return side;
}

py::dict teleoperation_stats(const Teleoperation& self) {
  const TeleoperationStats s = self.stats();
  py::dict result;
  result["sent"] = s.sent;
  result["received"] = s.received;
  result["ignored"] = s.ignored;
  result["implausible"] = s.implausible;
  result["emulated_lost"] = s.emulated_lost;
  result["send_dropped"] = s.send_dropped;
  result["latency_p50_us"] = s.latency_p50_us;
  result["latency_p99_us"] = s.latency_p99_us;
  result["latency_max_us"] = s.latency_max_us;
  result["render_p99_us"] = s.render_p99_us;
  result["render_max_us"] = s.render_max_us;
  result["energy_in_j"] = s.energy_in_j;
  result["energy_out_j"] = s.energy_out_j;
  result["peer_energy_in_j"] = s.peer_energy_in_j;
  result["energy_returned_j"] = s.energy_returned_j;
  result["passivity_cycles"] = s.passivity_cycles;
  result["peer_present"] = s.peer_present;
  result["peer_age_s"] = s.peer_age_s < 0 ? py::object(py::none()) : py::float_(s.peer_age_s);
  return result;
}

}  // namespace

void bind_network(py::module_& module) {
  py::class_<Publisher>(module, "Publisher",
                        "Publishes a servo loop's arm (pose, twist, wrench) or a handle "
                        "listener's orientation (imu) over DDS as ROS 2 messages")
      .def(py::init(&publisher), py::keep_alive<1, 2>(), py::arg("source"), py::kw_only(),
           py::arg("namespace") = "/orvex", py::arg("domain") = py::none(),
           py::arg("frame_id") = "orvex_base")
      .def("start", &start_publisher, "Make the DDS writers and start publishing.")
      .def("stop", [](Publisher& self) { unlocked([&] { self.stop(); }); }, "Stop publishing.")
      .def("__enter__",
           [](py::handle self) {
             start_publisher(self.cast<Publisher&>());
             return py::reinterpret_borrow<py::object>(self);
           })
      .def("__exit__",
           [](Publisher& self, py::handle, py::handle, py::handle) {
             unlocked([&] { self.stop(); });
           },
           py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"))
      .def_property_readonly("running", &Publisher::running)
      .def_property_readonly("topics", &Publisher::topics, "The DDS topics written.")
      .def_property_readonly("domain", [](const Publisher& self) { return self.endpoint().domain; })
      .def("stats", &publisher_stats, "Samples published, and cycles dropped before publishing.");

  py::class_<Teleoperation, Effect, std::shared_ptr<Teleoperation>>(
      module, "Teleoperation",
      "One side of a teleoperation over DDS, stable under delay (time-domain passivity across "
      "the network): add it to the side's servo loop")
      .def(py::init(&teleoperation), py::arg("role"), py::kw_only(),
           py::arg("namespace") = "/orvex", py::arg("domain") = py::none(),
           py::arg("frame_id") = "orvex_base", py::arg("stiffness") = 600.0,
           py::arg("damping") = 8.0, py::arg("max_force") = 10.0, py::arg("lost_after_s") = 0.25,
           py::arg("emulate_delay_s") = 0.0, py::arg("jitter_s") = 0.0, py::arg("loss") = 0.0,
           py::arg("seed") = 1)
      .def_property_readonly("role",
                             [](const Teleoperation& self) {
                               return self.settings().role == TeleoperationRole::leader
                                          ? "leader"
                                          : "follower";
                             })
      .def("stats", &teleoperation_stats,
           "Samples, latency, this side's loop cost, and the energy through the channel.");
}

}  // namespace Orvex::HardwareAPI::Python
