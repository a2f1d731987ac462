#include "Device/LittleEndian.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

namespace le = Orvex::HardwareAPI::Devices::LittleEndian;

TEST(LittleEndian, IntegersAtUnalignedOffsets) {
  std::uint8_t buffer[8] = {};
  le::put_u16(buffer + 1, 0x012C);
  EXPECT_EQ(buffer[1], 0x2C);
  EXPECT_EQ(buffer[2], 0x01);
  EXPECT_EQ(le::get_u16(buffer + 1), 0x012C);
  le::put_u32(buffer + 3, 0xA1B2C3D4u);
  EXPECT_EQ(buffer[3], 0xD4);
  EXPECT_EQ(buffer[6], 0xA1);
  EXPECT_EQ(le::get_u32(buffer + 3), 0xA1B2C3D4u);
}

TEST(LittleEndian, FloatsKeepTheirBitPatterns) {
  std::uint8_t buffer[5] = {};
  le::put_f32(buffer + 1, 1.0f);
  EXPECT_EQ(std::memcmp(buffer + 1, "\x00\x00\x80\x3f", 4), 0);
  const float specials[] = {std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), -0.0f,
                            std::numeric_limits<float>::denorm_min()};
  for (float value : specials) {
    le::put_f32(buffer, value);
    const float back = le::get_f32(buffer);
    EXPECT_EQ(std::memcmp(&back, &value, sizeof value), 0);
  }
  const std::uint8_t quiet_nan_with_payload[] = {0x01, 0x00, 0xC0, 0x7F};
  const float nan = le::get_f32(quiet_nan_with_payload);
  EXPECT_TRUE(std::isnan(nan));
  le::put_f32(buffer, nan);
  EXPECT_EQ(std::memcmp(buffer, quiet_nan_with_payload, 4), 0);
}

}  // namespace
