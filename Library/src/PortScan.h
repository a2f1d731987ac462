#pragma once

// The scan over any folder; the public functions scan /dev. Tests lay out folders of their own.

#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "Discovery.h"

namespace Orvex::HardwareAPI::Discovery {

std::vector<CandidatePort> list_candidate_ports_in(const std::filesystem::path& folder);

// The ports in folder of the wanted kinds whose probe found a device within the limit.
std::vector<std::string> detect_in(const std::filesystem::path& folder,
                                   std::initializer_list<PortKind> kinds,
                                   int (*probe)(const char* path), std::chrono::seconds limit);

// The verdict of probe on path, run on a thread of its own and due within limit. A late probe
// still ends before this returns; an exception it ends with then leaves this call.
bool verdict_within(int (*probe)(const char* path), const char* path, std::chrono::seconds limit);

constexpr std::chrono::seconds corvane_limit{3};
constexpr std::chrono::seconds handle_limit{5};

}  // namespace Orvex::HardwareAPI::Discovery
