#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Orvex::Emulator {

// Where the grip is at one moment.
struct HandlePose {
  std::array<float, 4> quaternion;  // w, x, y, z; unit length
  std::uint8_t hall_level;          // 0 released, 255 squeezed fully
};

// The hand-held grip: a slow turn with some wobble, a trigger squeezed and released over and
// over, the user data the host last stored and a sticky error flag. Time is given by the caller,
// so the model does no I/O.
class HandleModel {
 public:
  static constexpr double squeeze_period_s = 3.0;

  // A pure function of time since start, so the orientation cannot drift off unit length.
  static HandlePose pose_at(double t_s);

  void store_user_data(const std::uint8_t* data, std::size_t length);
  const std::vector<std::uint8_t>& user_data() const { return data; }

  // Set on a command the grip does not understand; it stays set until one status has carried it.
  void raise_error() { error = 1; }
  std::uint8_t take_error_flag();

 private:
  std::vector<std::uint8_t> data;
  std::uint8_t error = 0;
};

}  // namespace Orvex::Emulator
