#pragma once

namespace Orvex::HardwareAPI::Haptics {

// A handle's orientation as three angles in degrees, from the quaternion of its status message.
// The quaternion is taken in wire order, scalar first: w, x, y, z, of unit length (a longer or
// shorter one is treated as its normalised self). The angles are the aerospace sequence, intrinsic
// Z-Y-X: yaw about z, then pitch about the new y, then roll about the newest x, so that
// q = about_z(yaw) * about_y(pitch) * about_x(roll). Roll and yaw lie in -180..180, pitch in
// -90..90; at pitch +-90 (gimbal lock) roll and yaw share one rotation and the split is arbitrary.
struct RollPitchYaw {
  double roll;
  double pitch;
  double yaw;
};

RollPitchYaw roll_pitch_yaw(const float (&quaternion)[4]);

}  // namespace Orvex::HardwareAPI::Haptics
