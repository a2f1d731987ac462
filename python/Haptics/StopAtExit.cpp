#include "StopAtExit.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace Orvex::HardwareAPI::Python {

namespace {

using Owners = std::vector<std::pair<void*, StopFunction>>;

std::mutex registry_lock;
Owners& registry() {
  static Owners owners;
  return owners;
}

void erase_owner(Owners& owners, void* owner) {
  owners.erase(std::remove_if(owners.begin(), owners.end(),
                              [owner](const auto& entry) { return entry.first == owner; }),
               owners.end());
}

}  // namespace

void stop_at_exit(void* owner, StopFunction stop) {
  std::lock_guard<std::mutex> hold(registry_lock);
  erase_owner(registry(), owner);
  registry().emplace_back(owner, stop);
}

void forget_at_exit(void* owner) {
  std::lock_guard<std::mutex> hold(registry_lock);
  erase_owner(registry(), owner);
}

void stop_all_at_exit() {
  Owners owners;
  {
    std::lock_guard<std::mutex> hold(registry_lock);
    owners.swap(registry());
  }
  pybind11::gil_scoped_release released;
  for (auto& [owner, stop] : owners) stop(owner);
}

}  // namespace Orvex::HardwareAPI::Python
