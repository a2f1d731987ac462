#include "DdsParticipant.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

dds_qos_t* latest_only(std::int32_t depth) {
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
  dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
  dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, depth);
  return qos;
}

}  // namespace

DdsParticipant::DdsParticipant(std::uint32_t domain) {
  participant = dds_create_participant(domain, nullptr, nullptr);
  if (participant < 0) failed("participant on domain", std::to_string(domain), participant);
}

DdsParticipant::~DdsParticipant() {
  if (participant > 0) dds_delete(participant);
}

dds_entity_t DdsParticipant::failed(const char* what, const std::string& name, dds_return_t code) {
  failure = std::string("no DDS ") + what + " " + name + ": " + dds_strretcode(code);
  return 0;
}

dds_entity_t DdsParticipant::topic(const dds_topic_descriptor_t& type, const std::string& name) {
  if (participant <= 0) return 0;
  const dds_entity_t made = dds_create_topic(participant, &type, name.c_str(), nullptr, nullptr);
  return made < 0 ? failed("topic", name, made) : made;
}

dds_entity_t DdsParticipant::writer(const dds_topic_descriptor_t& type, const std::string& name) {
  const dds_entity_t on = topic(type, name);
  if (!on) return 0;
  dds_qos_t* qos = latest_only(1);
  const dds_entity_t made = dds_create_writer(participant, on, qos, nullptr);
  dds_delete_qos(qos);
  return made < 0 ? failed("writer for", name, made) : made;
}

dds_entity_t DdsParticipant::reader(const dds_topic_descriptor_t& type, const std::string& name,
                                    std::int32_t depth) {
  const dds_entity_t on = topic(type, name);
  if (!on) return 0;
  dds_qos_t* qos = latest_only(depth);
  const dds_entity_t made = dds_create_reader(participant, on, qos, nullptr);
  dds_delete_qos(qos);
  return made < 0 ? failed("reader of", name, made) : made;
}

}  // namespace Orvex::HardwareAPI::Haptics
