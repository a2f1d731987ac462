#pragma once

#include <geometry_msgs.h>
#include <sensor_msgs.h>

#include "Haptics/Effect.h"
#include "RosStamp.h"

namespace Orvex::HardwareAPI::Haptics::StateMessages {

// Fill ROS 2 messages in place: no allocation, the header's frame_id points at `frame`, which
// must outlive the message's write.
void stamp(std_msgs_msg_dds__Header_& header, const RosTime& time, const char* frame);
void point(geometry_msgs_msg_dds__Point_& out, const Vector3d& in);
void vector(geometry_msgs_msg_dds__Vector3_& out, const Vector3d& in);

// The end effector at `position` (no orientation: the identity).
void pose(geometry_msgs_msg_dds__PoseStamped_& message, const Vector3d& position);
void twist(geometry_msgs_msg_dds__TwistStamped_& message, const Vector3d& velocity);
void wrench(geometry_msgs_msg_dds__WrenchStamped_& message, const Vector3d& force);
// A handle's orientation from its quaternion in wire order (w, x, y, z); its rates and
// accelerations are not known, which their covariances say.
void imu(sensor_msgs_msg_dds__Imu_& message, const float (&wxyz)[4]);

}  // namespace Orvex::HardwareAPI::Haptics::StateMessages
