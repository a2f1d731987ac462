#include "RosNames.h"

#include <cstdlib>

#include "Haptics/RosEndpoint.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

constexpr std::size_t longest_name = 247;
constexpr std::uint32_t largest_domain = 232;

bool name_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '/';
}

}  // namespace

std::string RosNames::problem(const std::string& name, const char* what) {
  const std::string quoted = std::string(what) + " \"" + name + "\"";
  if (name.empty() || name[0] != '/') return quoted + " must start with /";
  if (name.size() > longest_name) return quoted + " is longer than 247 characters";
  if (name == "/") return {};
  for (char c : name)
    if (!name_character(c)) return quoted + " may hold only letters, digits, _ and /";
  if (name.back() == '/') return quoted + " must not end with /";
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    if (name[i] != '/') continue;
    if (name[i + 1] == '/') return quoted + " has an empty token (//)";
    if (name[i + 1] >= '0' && name[i + 1] <= '9')
      return quoted + " has a token that starts with a digit";
  }
  return {};
}

std::string RosNames::topic(const std::string& ns, const char* leaf) {
  return "rt" + (ns == "/" ? std::string() : ns) + "/" + leaf;
}

std::string RosEndpoint::problem() const {
  if (domain > largest_domain) return "domain must be at most 232";
  if (std::string why = RosNames::problem(ns, "namespace"); !why.empty()) return why;
  if (frame_id.empty()) return "frame_id must not be empty";
  return {};
}

std::uint32_t RosEndpoint::domain_from_environment() {
  const char* text = std::getenv("ROS_DOMAIN_ID");
  if (!text || !*text) return 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return (*end == '\0' && value <= largest_domain) ? static_cast<std::uint32_t>(value) : 0;
}

}  // namespace Orvex::HardwareAPI::Haptics
