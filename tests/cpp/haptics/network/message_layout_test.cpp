// The messages as they travel: type names as ROS 2 gives them, and each field at the offset and in
// the encoding ROS 2's Cyclone layer reads (plain CDR, little-endian, 8-byte alignment).

#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <geometry_msgs.h>
#include <gtest/gtest.h>
#include <orvex_msgs.h>
#include <sensor_msgs.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Haptics/Network/DdsParticipant.h"
#include "Haptics/Network/StateMessages.h"

namespace Orvex::HardwareAPI::Haptics {
namespace {

constexpr std::uint32_t domain = 211;

// The bytes ROS 2 expects, built field by field: the encapsulation (CDR, little-endian), then
// each value at its natural alignment from the start of the body.
class Cdr {
 public:
  Cdr() : bytes{0x00, 0x01, 0x00, 0x00} {}
  Cdr& u32(std::uint32_t v) { return align(4).raw(&v, 4); }
  Cdr& i32(std::int32_t v) { return align(4).raw(&v, 4); }
  Cdr& f64(double v) { return align(8).raw(&v, 8); }
  Cdr& str(const std::string& s) {
    u32(static_cast<std::uint32_t>(s.size() + 1));
    return raw(s.c_str(), s.size() + 1);
  }
  Cdr& header(std::int32_t sec, std::uint32_t nanosec, const std::string& frame) {
    return i32(sec).u32(nanosec).str(frame);
  }
  std::vector<std::uint8_t> bytes;

 private:
  Cdr& align(std::size_t n) {
    while ((bytes.size() - 4) % n) bytes.push_back(0);
    return *this;
  }
  Cdr& raw(const void* p, std::size_t n) {
    // Little-endian on the wire; the hosts this runs on are little-endian too.
    const auto* b = static_cast<const std::uint8_t*>(p);
    bytes.insert(bytes.end(), b, b + n);
    return *this;
  }
};

// Writes one sample on rt/layout_<process>/<name> and takes it back as the bytes that went on the
// wire: a topic of this process's own, so that runs side by side never take each other's sample.
std::vector<std::uint8_t> on_the_wire(const dds_topic_descriptor_t& type, const void* sample,
                                      const std::string& name) {
  const std::string topic = "rt/layout_" + std::to_string(getpid()) + "/" + name;
  DdsParticipant participant(domain);
  const dds_entity_t reader = participant.reader(type, topic, 1);
  const dds_entity_t writer = participant.writer(type, topic);
  EXPECT_EQ(participant.problem(), "");
  EXPECT_EQ(dds_write(writer, sample), DDS_RETCODE_OK);
  for (int attempt = 0; attempt < 200; ++attempt) {
    ddsi_serdata* data = nullptr;
    dds_sample_info_t info;
    if (dds_takecdr(reader, &data, 1, &info, DDS_ANY_STATE) == 1) {
      std::vector<std::uint8_t> bytes(ddsi_serdata_size(data));
      ddsi_serdata_to_ser(data, 0, bytes.size(), bytes.data());
      ddsi_serdata_unref(data);
      // The body may be padded to a multiple of 4; the encapsulation's last byte says how much.
      bytes.resize(bytes.size() - (bytes[3] & 3));
      return bytes;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ADD_FAILURE() << "no sample came back on " << topic;
  return {};
}

TEST(RosMessages, TypeNamesAreRos2s) {
  EXPECT_STREQ(geometry_msgs_msg_dds__PoseStamped__desc.m_typename,
               "geometry_msgs::msg::dds_::PoseStamped_");
  EXPECT_STREQ(geometry_msgs_msg_dds__TwistStamped__desc.m_typename,
               "geometry_msgs::msg::dds_::TwistStamped_");
  EXPECT_STREQ(geometry_msgs_msg_dds__WrenchStamped__desc.m_typename,
               "geometry_msgs::msg::dds_::WrenchStamped_");
  EXPECT_STREQ(sensor_msgs_msg_dds__Imu__desc.m_typename, "sensor_msgs::msg::dds_::Imu_");
  EXPECT_STREQ(orvex_msgs_msg_dds__TeleoperationState__desc.m_typename,
               "orvex_msgs::msg::dds_::TeleoperationState_");
}

TEST(RosMessages, PoseStampedIsLaidOutAsRos2Reads) {
  geometry_msgs_msg_dds__PoseStamped_ pose{};
  StateMessages::stamp(pose.header, {0x01020304, 5}, "ab");
  StateMessages::pose(pose, {0.25, -0.5, 1.5});
  const auto bytes = on_the_wire(geometry_msgs_msg_dds__PoseStamped__desc, &pose, "pose");
  Cdr expected;
  expected.header(0x01020304, 5, "ab").f64(0.25).f64(-0.5).f64(1.5);
  expected.f64(0).f64(0).f64(0).f64(1);  // the identity, w last
  EXPECT_EQ(bytes, expected.bytes);
}

TEST(RosMessages, TwistAndWrenchStampedAreLaidOutAsRos2Reads) {
  geometry_msgs_msg_dds__TwistStamped_ twist{};
  StateMessages::stamp(twist.header, {7, 999999999}, "arm");
  StateMessages::twist(twist, {1, 2, 3});
  Cdr twist_bytes;
  twist_bytes.header(7, 999999999, "arm").f64(1).f64(2).f64(3).f64(0).f64(0).f64(0);
  EXPECT_EQ(on_the_wire(geometry_msgs_msg_dds__TwistStamped__desc, &twist, "twist"),
            twist_bytes.bytes);

  geometry_msgs_msg_dds__WrenchStamped_ wrench{};
  StateMessages::stamp(wrench.header, {8, 1}, "orvex_base");
  StateMessages::wrench(wrench, {-4, 5, 6});
  Cdr wrench_bytes;
  wrench_bytes.header(8, 1, "orvex_base").f64(-4).f64(5).f64(6).f64(0).f64(0).f64(0);
  EXPECT_EQ(on_the_wire(geometry_msgs_msg_dds__WrenchStamped__desc, &wrench, "wrench"),
            wrench_bytes.bytes);
}

TEST(RosMessages, ImuCarriesTheQuaternionWLastAndUnknownRates) {
  sensor_msgs_msg_dds__Imu_ imu{};
  StateMessages::stamp(imu.header, {9, 10}, "grip");
  const float wxyz[4] = {0.5f, -0.5f, 0.25f, 0.75f};
  StateMessages::imu(imu, wxyz);
  Cdr expected;
  expected.header(9, 10, "grip").f64(-0.5).f64(0.25).f64(0.75).f64(0.5);
  for (int i = 0; i < 9; ++i) expected.f64(0);  // the orientation's covariance: known
  expected.f64(0).f64(0).f64(0);
  expected.f64(-1);  // angular velocity: not known
  for (int i = 1; i < 9; ++i) expected.f64(0);
  expected.f64(0).f64(0).f64(0);
  expected.f64(-1);  // linear acceleration: not known
  for (int i = 1; i < 9; ++i) expected.f64(0);
  EXPECT_EQ(on_the_wire(sensor_msgs_msg_dds__Imu__desc, &imu, "imu"), expected.bytes);
}

}  // namespace
}  // namespace Orvex::HardwareAPI::Haptics
