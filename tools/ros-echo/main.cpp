// orvex-ros-echo: prints the samples of one DDS topic of a ROS 2 message type, one line each:
//   <sec> <nanosec> <frame_id> <values...>
// pose: x y z qx qy qz qw; twist: vx vy vz wx wy wz; wrench: fx fy fz tx ty tz;
// imu: qx qy qz qw and the first elements of the three covariances;
// teleoperation: role number x y z vx vy vz fx fy fz energy_in energy_out.
// Best effort, as the writers; ends after --count samples (exit 0) or --timeout seconds (exit 1).

#include <dds/dds.h>
#include <geometry_msgs.h>
#include <orvex_msgs.h>
#include <sensor_msgs.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: orvex-ros-echo pose|twist|wrench|imu|teleoperation TOPIC [--domain N] "
               "[--count N] [--timeout S]\n");
  return 2;
}

void header(const std_msgs_msg_dds__Header_& h) {
  std::printf("%d %u %s", h.stamp.sec, h.stamp.nanosec, h.frame_id ? h.frame_id : "");
}

void values(std::initializer_list<double> list) {
  for (double v : list) std::printf(" %.9g", v);
  std::printf("\n");
}

void print(const std::string& kind, const void* sample) {
  if (kind == "pose") {
    const auto& m = *static_cast<const geometry_msgs_msg_dds__PoseStamped_*>(sample);
    header(m.header);
    const auto& p = m.pose;
    values({p.position.x, p.position.y, p.position.z, p.orientation.x, p.orientation.y,
            p.orientation.z, p.orientation.w});
  } else if (kind == "twist") {
    const auto& m = *static_cast<const geometry_msgs_msg_dds__TwistStamped_*>(sample);
    header(m.header);
    const auto& t = m.twist;
    values({t.linear.x, t.linear.y, t.linear.z, t.angular.x, t.angular.y, t.angular.z});
  } else if (kind == "wrench") {
    const auto& m = *static_cast<const geometry_msgs_msg_dds__WrenchStamped_*>(sample);
    header(m.header);
    const auto& w = m.wrench;
    values({w.force.x, w.force.y, w.force.z, w.torque.x, w.torque.y, w.torque.z});
  } else if (kind == "imu") {
    const auto& m = *static_cast<const sensor_msgs_msg_dds__Imu_*>(sample);
    header(m.header);
    values({m.orientation.x, m.orientation.y, m.orientation.z, m.orientation.w,
            m.orientation_covariance[0], m.angular_velocity_covariance[0],
            m.linear_acceleration_covariance[0]});
  } else {
    const auto& m = *static_cast<const orvex_msgs_msg_dds__TeleoperationState_*>(sample);
    header(m.header);
    values({double(m.role), double(m.number), m.position.x, m.position.y, m.position.z,
            m.velocity.x, m.velocity.y, m.velocity.z, m.force.x, m.force.y, m.force.z,
            m.energy_in, m.energy_out});
  }
}

const dds_topic_descriptor_t* type_of(const std::string& kind) {
  if (kind == "pose") return &geometry_msgs_msg_dds__PoseStamped__desc;
  if (kind == "twist") return &geometry_msgs_msg_dds__TwistStamped__desc;
  if (kind == "wrench") return &geometry_msgs_msg_dds__WrenchStamped__desc;
  if (kind == "imu") return &sensor_msgs_msg_dds__Imu__desc;
  if (kind == "teleoperation") return &orvex_msgs_msg_dds__TeleoperationState__desc;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string kind = argv[1];
  const dds_topic_descriptor_t* type = type_of(kind);
  if (!type) return usage();
  const char* topic = argv[2];
  unsigned long domain = 0, count = 1;
  double timeout_s = 10;
  for (int i = 3; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--domain"))
      domain = std::strtoul(argv[i + 1], nullptr, 10);
    else if (!std::strcmp(argv[i], "--count"))
      count = std::strtoul(argv[i + 1], nullptr, 10);
    else if (!std::strcmp(argv[i], "--timeout"))
      timeout_s = std::strtod(argv[i + 1], nullptr);
    else
      return usage();
  }
  const dds_entity_t participant = dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr);
  if (participant < 0) {
    std::fprintf(stderr, "orvex-ros-echo: no participant: %s\n", dds_strretcode(participant));
    return 1;
  }
  const dds_entity_t on = dds_create_topic(participant, type, topic, nullptr, nullptr);
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
  dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 64);
  const dds_entity_t reader = dds_create_reader(participant, on, qos, nullptr);
  dds_delete_qos(qos);
  const dds_entity_t waitset = dds_create_waitset(participant);
  const dds_entity_t readable = dds_create_readcondition(reader, DDS_ANY_STATE);
  dds_waitset_attach(waitset, readable, 0);
  // Tells a test that the reader exists, so that what is published from now on is seen.
  std::printf("ready\n");
  std::fflush(stdout);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  unsigned long printed = 0;
  while (printed < count && std::chrono::steady_clock::now() < deadline) {
    dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(50));
    void* samples[16] = {};
    dds_sample_info_t infos[16];
    const dds_return_t n = dds_take(reader, samples, infos, 16, 16);
    for (dds_return_t i = 0; i < n && printed < count; ++i) {
      if (!infos[i].valid_data) continue;
      print(kind, samples[i]);
      ++printed;
    }
    if (n > 0) dds_return_loan(reader, samples, n);
    std::fflush(stdout);
  }
  dds_delete(participant);
  return printed == count ? 0 : 1;
}
