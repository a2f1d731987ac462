#pragma once

#include <dds/dds.h>

#include <cstdint>
#include <string>

namespace Orvex::HardwareAPI::Haptics {

// A DDS participant on one domain, and the topics, writers and readers made from it, all deleted
// with it. Writers and readers are best effort, volatile and keep only the latest samples: what
// ROS 2's sensor-data profile asks of a 1 kHz stream, where a late sample is worth less than the
// next one.
//
// Threads: made and deleted by one thread; the entities it hands out are DDS's, which any thread
// may use.
class DdsParticipant {
 public:
  explicit DdsParticipant(std::uint32_t domain);
  ~DdsParticipant();
  DdsParticipant(const DdsParticipant&) = delete;
  DdsParticipant& operator=(const DdsParticipant&) = delete;

  // Why the participant or the last entity asked for was not made, or empty.
  const std::string& problem() const { return failure; }

  // A writer (keep last 1) or reader (keep last `depth`) on the topic; 0 when it failed.
  dds_entity_t writer(const dds_topic_descriptor_t& type, const std::string& topic);
  dds_entity_t reader(const dds_topic_descriptor_t& type, const std::string& topic,
                      std::int32_t depth);

 private:
  dds_entity_t topic(const dds_topic_descriptor_t& type, const std::string& name);
  dds_entity_t failed(const char* what, const std::string& name, dds_return_t code);

  dds_entity_t participant = 0;
  std::string failure;
};

}  // namespace Orvex::HardwareAPI::Haptics
