#include "PortScan.h"

#include <algorithm>
#include <exception>
#include <future>
#include <iostream>

namespace Orvex::HardwareAPI {

namespace Discovery {

namespace {

// The first word a name contains decides its kind.
constexpr struct {
  const char* word;
  PortKind kind;
} kinds_by_name[] = {
    {"ttyACM", PortKind::Acm}, {"ttyUSB", PortKind::Usb}, {"rfcomm", PortKind::Rfcomm}};

}  // namespace

std::vector<CandidatePort> list_candidate_ports_in(const std::filesystem::path& folder) {
  std::vector<CandidatePort> candidates;
  if (!std::filesystem::exists(folder)) return candidates;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    for (const auto& by_name : kinds_by_name) {
      if (name.find(by_name.word) == std::string::npos) continue;
      candidates.push_back(
          {std::filesystem::canonical(folder / entry.path()).string(), by_name.kind});
      break;
    }
  }
  return candidates;
}

bool verdict_within(int (*probe)(const char* path), const char* path, std::chrono::seconds limit) {
  std::future<int> task = std::async(std::launch::async, probe, path);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  if (task.wait_until(deadline) != std::future_status::ready) {
    // Late: the verdict is no, but the probe still owns its port; wait for it to let go.
    task.get();
    return false;
  }
  try {
    return task.get() != 0;
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return false;
  }
}

std::vector<std::string> detect_in(const std::filesystem::path& folder,
                                   std::initializer_list<PortKind> kinds,
                                   int (*probe)(const char* path), std::chrono::seconds limit) {
  std::vector<std::string> found;
  for (const CandidatePort& candidate : list_candidate_ports_in(folder)) {
    if (std::find(kinds.begin(), kinds.end(), candidate.kind) == kinds.end()) continue;
    if (verdict_within(probe, candidate.path.c_str(), limit)) found.push_back(candidate.path);
  }
  return found;
}

}  // namespace Discovery

namespace {
const std::filesystem::path device_folder = "/dev";
}  // namespace

std::vector<CandidatePort> list_candidate_ports() {
  return Discovery::list_candidate_ports_in(device_folder);
}

std::vector<std::string> detect_corvanes() {
  return Discovery::detect_in(device_folder, {PortKind::Acm}, probe_corvane,
                              Discovery::corvane_limit);
}

std::vector<std::string> detect_handles() {
  return Discovery::detect_in(device_folder, {PortKind::Usb, PortKind::Rfcomm}, probe_handle,
                              Discovery::handle_limit);
}

std::vector<std::string> detect_wired_handles() {
  return Discovery::detect_in(device_folder, {PortKind::Usb}, probe_handle,
                              Discovery::handle_limit);
}

std::vector<std::string> detect_wireless_handles() {
  return Discovery::detect_in(device_folder, {PortKind::Rfcomm}, probe_handle,
                              Discovery::handle_limit);
}

bool probe_handle_within(const char* path) {
  return Discovery::verdict_within(probe_handle, path, Discovery::handle_limit);
}

}  // namespace Orvex::HardwareAPI
