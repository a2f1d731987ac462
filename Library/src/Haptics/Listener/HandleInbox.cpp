#include "HandleInbox.h"

#include <algorithm>

#include "../Recording/HandleRecordRow.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

constexpr std::size_t status_slot = 0;
constexpr std::size_t info_slot = 1;

}  // namespace

HandleInbox::HandleInbox(std::size_t capacity)
    : ring(std::max<std::size_t>(capacity, 1)) {}

void HandleInbox::put(const HandleMessage& message, std::int64_t now_ms) {
  // The latest and the counts go first: a reader that has taken the message then finds them
  // counting it already.
  switch (message.kind) {
    case HandleMessage::Kind::status:
      orientation_link.offer(message);
      latest[status_slot].store(message);
      status.fetch_add(1, std::memory_order_relaxed);
      rate.count(now_ms);
      break;
    case HandleMessage::Kind::info:
      latest[info_slot].store(message);
      info.fetch_add(1, std::memory_order_relaxed);
      break;
    case HandleMessage::Kind::error:
      errors.fetch_add(1, std::memory_order_relaxed);
      break;
  }

  // A full ring is not waited on: the message goes over the oldest, and the reader that comes to
  // that slot finds it overwritten.
  const std::uint64_t n = ring.written();
  ring.push_from_writer(message);
  recording.offer(handle_record_row(message, n));
  wake_readers();
}

void HandleInbox::wake_readers() { arrived.notify_all(); }

bool HandleInbox::has_message() const {
  return taken_total.load(std::memory_order_relaxed) < ring.written();
}

std::uint64_t HandleInbox::lost_to_lag(std::uint64_t put_count, std::uint64_t taken) const {
  const std::uint64_t waiting = put_count > taken ? put_count - taken : 0;
  return waiting > ring.capacity() ? waiting - ring.capacity() : 0;
}

bool HandleInbox::take(HandleMessage& message) {
  std::lock_guard<std::mutex> hold(readers);
  std::uint64_t next = taken_total.load(std::memory_order_relaxed);
  for (;;) {
    const std::uint64_t put_count = ring.written();
    if (next >= put_count) return false;
    // Messages more than a ring behind the writer are gone already.
    const std::uint64_t gone = lost_to_lag(put_count, next);
    overwritten_total.fetch_add(gone, std::memory_order_relaxed);
    next += gone;
    const bool intact = ring.read_from_any(next, message);
    if (!intact) overwritten_total.fetch_add(1, std::memory_order_relaxed);
    taken_total.store(++next, std::memory_order_relaxed);
    if (intact) return true;
  }
}

HandleListenerStats HandleInbox::counts(std::int64_t now_ms) const {
  HandleListenerStats stats;
  stats.status = status.load(std::memory_order_relaxed);
  stats.info = info.load(std::memory_order_relaxed);
  stats.errors = errors.load(std::memory_order_relaxed);
  stats.messages = stats.status + stats.info + stats.errors;
  stats.unknown = unknown.load(std::memory_order_relaxed);
  stats.refused = refused.load(std::memory_order_relaxed);
  stats.dropped = overwritten_total.load(std::memory_order_relaxed) +
                  lost_to_lag(ring.written(),
                              taken_total.load(std::memory_order_relaxed));
  stats.rate_hz = rate.rate_hz(now_ms);
  return stats;
}

}  // namespace Orvex::HardwareAPI::Haptics
