#pragma once

#include <cstdint>
#include <string>

namespace Orvex::HardwareAPI::Haptics {

// Where on a DDS network a publisher or a teleoperation side is seen, as ROS 2 names it: the
// domain (ROS_DOMAIN_ID), the namespace its topics go under ("/lab/arm1": topic
// rt/lab/arm1/pose), and the frame its headers name.
struct RosEndpoint {
  std::uint32_t domain = 0;  // at most 232, the largest ROS 2 uses
  std::string ns = "/orvex";
  std::string frame_id = "orvex_base";

  // Why these name no endpoint ("namespace ... has an empty token", ...), or empty.
  std::string problem() const;
  // ROS_DOMAIN_ID when it is set to a valid domain, else 0.
  static std::uint32_t domain_from_environment();
};

}  // namespace Orvex::HardwareAPI::Haptics
