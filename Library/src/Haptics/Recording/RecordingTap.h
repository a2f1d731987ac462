#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "RecordSidecar.h"
#include "Recorder.h"
#include "../Realtime/ReaderEpoch.h"

namespace Orvex::HardwareAPI::Haptics {

// Where a real-time thread hands its rows to a recording that the application starts and ends
// at any moment. The producer's side never locks or waits: offer() looks for a recorder and
// pushes. The application's side (begin, end, totals) is serialised by a lock of its own that
// is held only to hand a recorder over: never while a file opens, is written out or closes, so
// totals() (which a caller may hold its interpreter's lock for) never waits on the disk. end()
// waits only for an offer() already under way, which is a copy into a queue.
//
// Threads: offer() from the one producer thread; the rest from any other thread.
class RecordingTap {
 public:
  ~RecordingTap() { end(); }

  // Starts recording to path, with its sidecar (see RecordSidecar.h; marks are tied to rows by
  // index_name): 0, EBUSY when a recording runs, starts or ends already, or an errno value from
  // Recorder::start or from writing the sidecar.
  int begin(const std::string& path, Recorder::Columns columns, std::size_t queue_rows,
            const char* index_name);
  // Ends the recording, writes its sidecar again with its marks, and gives its totals; when none
  // runs, the last one's; nothing before any.
  std::optional<RecordTotals> end();
  // Adds the mark to the running recording's sidecar; nothing when none runs.
  void mark(const RecordMark& mark);
  // The running (or ending) recording's totals so far, else the last one's; zeros before any.
  RecordTotals totals() const;

  void offer(const RecordRow& row) { offer(row.data()); }
  void offer(const double* row) {
    offering.enter_from_reader();
    // Acquire: the recorder begin() published is whole before it is pushed to.
    if (Recorder* recorder = current.load(std::memory_order_acquire)) recorder->push(row);
    offering.leave_from_reader();
  }

 private:
  mutable std::mutex owner;  // the members below among application threads
  std::unique_ptr<Recorder> recorder;
  bool starting = false;             // a begin() opens its file
  const Recorder* ending = nullptr;  // an end() finishes this one, which it owns meanwhile
  std::optional<RecordTotals> last;
  std::string path;       // the running recording's
  RecordSidecar sidecar;  // likewise
  std::atomic<Recorder*> current{nullptr};
  ReaderEpoch offering;  // end() waits out an offer() that may have found the recorder
};

}  // namespace Orvex::HardwareAPI::Haptics
