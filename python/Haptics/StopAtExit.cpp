#include "StopAtExit.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace Orvex::HardwareAPI::Python {

namespace {

namespace py = pybind11;

struct Registered {
  PyObject* self;  // borrowed: the owner leaves the list before its Python object is freed
  void* owner;
  StopFunction stop;
};
using Owners = std::vector<Registered>;

// Registration happens under the interpreter lock, but a listener's stop() may run without it.
std::mutex registry_lock;
Owners& registry() {
  static Owners owners;
  return owners;
}

// Starts share the gate; exit takes it alone, once, and closes it for good.
std::shared_mutex exit_gate;
bool exiting = false;

void erase_owner(Owners& owners, void* owner) {
  owners.erase(std::remove_if(owners.begin(), owners.end(),
                              [owner](const Registered& entry) { return entry.owner == owner; }),
               owners.end());
}

}  // namespace

const char* const exiting_refusal =
    "the interpreter is exiting: no servo loop or handle listener starts after its exit hook";

BeforeExit::BeforeExit() {
  exit_gate.lock_shared();
  open = !exiting;
}

BeforeExit::~BeforeExit() { exit_gate.unlock_shared(); }

void stop_at_exit(py::handle self, void* owner, StopFunction stop) {
  std::lock_guard<std::mutex> hold(registry_lock);
  erase_owner(registry(), owner);
  registry().push_back({self.ptr(), owner, stop});
}

void forget_at_exit(void* owner) {
  std::lock_guard<std::mutex> hold(registry_lock);
  erase_owner(registry(), owner);
}

void stop_all_at_exit() {
  // With the interpreter lock held, every owner still on the list is alive: take a reference to
  // each before the lock goes, so that a daemon thread dropping the last one cannot free an owner
  // while it is being stopped.
  std::vector<py::object> kept;
  Owners owners;
  {
    std::unique_lock<std::shared_mutex> closing(exit_gate);
    exiting = true;
  }
  {
    std::lock_guard<std::mutex> hold(registry_lock);
    owners.swap(registry());
  }
  kept.reserve(owners.size());
  for (const Registered& entry : owners) kept.push_back(py::reinterpret_borrow<py::object>(entry.self));
  {
    py::gil_scoped_release released;
    for (const Registered& entry : owners) entry.stop(entry.owner);
  }
  // The references go with the interpreter lock held again; a last one frees its owner here.
}

}  // namespace Orvex::HardwareAPI::Python
