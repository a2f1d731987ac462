#pragma once

// Finds the serial ports on which a device of a kind answers now: candidates are listed from
// /dev by name, then probed one after the other, each probe on a thread of its own under a time
// limit. A scan costs at least the sum of its probes.

#include <cstdint>
#include <string>
#include <vector>

namespace Orvex::HardwareAPI {

enum class PortKind : std::int32_t { Acm = 1, Usb = 2, Rfcomm = 3 };

struct CandidatePort {
  std::string path;  // canonical: links resolved
  PortKind kind;
};

// The /dev entries whose names contain ttyACM, ttyUSB or rfcomm, in listing order. A dangling
// link among them ends the call with the file-system error.
std::vector<CandidatePort> list_candidate_ports();

std::vector<std::string> detect_corvanes();
std::vector<std::string> detect_handles();
std::vector<std::string> detect_wired_handles();
std::vector<std::string> detect_wireless_handles();

// The probes: 1 when a device of their kind answered the wake-up on path, else 0.
int probe_corvane(const char* path);
int probe_handle(const char* path);

// probe_handle on a thread of its own, with its verdict due within five seconds.
bool probe_handle_within(const char* path);

}  // namespace Orvex::HardwareAPI
