#include "StateMessages.h"

#include <algorithm>
#include <iterator>

namespace Orvex::HardwareAPI::Haptics {

void StateMessages::stamp(std_msgs_msg_dds__Header_& header, const RosTime& time,
                          const char* frame) {
  header.stamp.sec = time.sec;
  header.stamp.nanosec = time.nanosec;
  // DDS only reads the frame while it writes the message.
  header.frame_id = const_cast<char*>(frame);
}

void StateMessages::point(geometry_msgs_msg_dds__Point_& out, const Vector3d& in) {
  out.x = in[0];
  out.y = in[1];
  out.z = in[2];
}

void StateMessages::vector(geometry_msgs_msg_dds__Vector3_& out, const Vector3d& in) {
  out.x = in[0];
  out.y = in[1];
  out.z = in[2];
}

void StateMessages::pose(geometry_msgs_msg_dds__PoseStamped_& message, const Vector3d& position) {
  point(message.pose.position, position);
  message.pose.orientation = {0, 0, 0, 1};
}

void StateMessages::twist(geometry_msgs_msg_dds__TwistStamped_& message, const Vector3d& velocity) {
  vector(message.twist.linear, velocity);
  message.twist.angular = {0, 0, 0};
}

void StateMessages::wrench(geometry_msgs_msg_dds__WrenchStamped_& message, const Vector3d& force) {
  vector(message.wrench.force, force);
  message.wrench.torque = {0, 0, 0};
}

void StateMessages::imu(sensor_msgs_msg_dds__Imu_& message, const float (&wxyz)[4]) {
  message.orientation = {wxyz[1], wxyz[2], wxyz[3], wxyz[0]};
  // Element 0 at -1: the quantity is not measured.
  constexpr double unknown[9] = {-1, 0, 0, 0, 0, 0, 0, 0, 0};
  std::fill(std::begin(message.orientation_covariance), std::end(message.orientation_covariance),
            0.0);
  std::copy(std::begin(unknown), std::end(unknown), message.angular_velocity_covariance);
  std::copy(std::begin(unknown), std::end(unknown), message.linear_acceleration_covariance);
  message.angular_velocity = {0, 0, 0};
  message.linear_acceleration = {0, 0, 0};
}

}  // namespace Orvex::HardwareAPI::Haptics
