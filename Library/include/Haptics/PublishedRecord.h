#pragma once

#include <mutex>
#include <type_traits>

#include "Haptics/Seqlock.h"

namespace Orvex::HardwareAPI::Haptics {

// A record the application changes and a real-time thread reads whole: an effect's parameters,
// a shape's pose and material, a law's values. Application threads take turns through a lock
// the real-time thread never takes, each change made on the current record and published whole;
// the real-time thread reads without waiting and keeps what it read before when a change is
// being published during every attempt.
template <class Record>
class PublishedRecord {
 public:
  PublishedRecord() = default;
  explicit PublishedRecord(const Record& initial) : published(initial) {}
  PublishedRecord(const PublishedRecord&) = delete;
  PublishedRecord& operator=(const PublishedRecord&) = delete;

  // Real-time thread: the record as last published, into out; false (out unusable) when every
  // attempt met a change.
  bool read_from_rt(Record& out) const noexcept { return published.try_load(out); }
  // Any other thread: waits for a change being published.
  Record read_from_non_rt() const { return published.load(); }

  // Application threads: publishes what change makes of the current record. A change that
  // returns bool may refuse (false: nothing is published).
  template <class Change>
  bool write_from_non_rt(Change&& change) {
    std::lock_guard<std::mutex> hold(writers);
    return publish(change);
  }
  // As write_from_non_rt(), but false at once (nothing published) when another thread is
  // publishing this instant: for a thread that must not wait.
  template <class Change>
  bool try_write_from_non_rt(Change&& change) {
    std::unique_lock<std::mutex> hold(writers, std::try_to_lock);
    return hold && publish(change);
  }

 private:
  // Under `writers`.
  template <class Change>
  bool publish(Change& change) {
    Record next = published.load();
    if constexpr (std::is_same_v<decltype(change(next)), bool>) {
      if (!change(next)) return false;
    } else {
      change(next);
    }
    published.store(next);
    return true;
  }

  std::mutex writers;  // never taken by the real-time thread
  Seqlock<Record> published;
};

}  // namespace Orvex::HardwareAPI::Haptics
