#pragma once

#include <string>

namespace Orvex::HardwareAPI::Haptics::RosNames {

// Why name is no absolute ROS 2 name (characters [A-Za-z0-9_/], no empty token, no token that
// starts with a digit, at most 247 characters), or empty. "/" alone is the root namespace.
std::string problem(const std::string& name, const char* what);

// The DDS topic of ROS topic leaf under a namespace: "rt" + ns + "/" + leaf.
std::string topic(const std::string& ns, const char* leaf);

}  // namespace Orvex::HardwareAPI::Haptics::RosNames
