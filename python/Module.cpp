// The module body: registrations in the order Python sees them.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <vector>

#include "Bindings.h"
#include "Conventions.h"
#include "Devices/Device.h"
#include "Discovery.h"
#include "IO/SerialStream.h"
#include "UUID.h"
#include "Version.h"

namespace py = pybind11;
using namespace Orvex::HardwareAPI;
using Orvex::HardwareAPI::Python::unlocked;

namespace {

// The path is copied by the stream, so the text need only live for the call.
std::unique_ptr<IO::SerialStream> open_serial_stream(const char* port_path) {
  return unlocked([&] { return std::make_unique<IO::SerialStream>(port_path, true); });
}

std::vector<std::uint8_t> uuid_bytes(const UUID& uuid) {
  return {uuid.bytes.begin(), uuid.bytes.end()};
}

}  // namespace

PYBIND11_MODULE(OrvexHardwareAPI, m) {
  m.attr("__doc__") = "Python Implementation of the Orvex Hardware API";

  py::class_<IO::SerialStream>(m, "SerialStream").def(py::init(&open_serial_stream));

  py::class_<UUID>(m, "UUID").def(py::init<>()).def("bytes", &uuid_bytes);

  py::class_<Devices::Device>(m, "Device");

  m.def("get_cpp_version", &get_cpp_version, "Get the version of the CPP library");
  m.def("print_cpp_version", &print_cpp_version, "Print the version of the CPP library");

  m.def("detect_corvanes", &detect_corvanes, "detect available corvane devices");
  m.def("detect_handles", &detect_handles, "detect available handles");
  m.def("detect_wired_handles", &detect_wired_handles, "detect available wired handles");
  m.def("detect_wireless_handles", &detect_wireless_handles, "detect available wireless handles");

  Python::bind_corvane(m);
  Python::bind_handle(m);

  m.attr("__version__") = "dev";
}
