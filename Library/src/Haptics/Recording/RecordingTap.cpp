#include "RecordingTap.h"

#include <cerrno>

namespace Orvex::HardwareAPI::Haptics {

int RecordingTap::begin(const std::string& file_path, Recorder::Columns columns,
                        std::size_t queue_rows, const char* index_name) {
  {
    std::lock_guard<std::mutex> hold(owner);
    // One file at a time: a second begin() must not empty the file of one still being written.
    if (recorder || starting || ending) return EBUSY;
    starting = true;
  }
  int error = 0;
  RecordSidecar described;
  described.columns.assign(columns.names, columns.names + columns.count);
  described.index_name = index_name;
  take_anchor(described);
  std::unique_ptr<Recorder> started = Recorder::start(file_path, columns, queue_rows, error);
  if (started) error = write_sidecar(file_path, described);
  if (error && started) started->finish();
  std::lock_guard<std::mutex> hold(owner);
  starting = false;
  if (error) return error;
  recorder = std::move(started);
  path = file_path;
  sidecar = std::move(described);
  last.reset();
  // Release: the recorder is whole before an offer() finds it.
  current.store(recorder.get(), std::memory_order_release);
  return 0;
}

std::optional<RecordTotals> RecordingTap::end() {
  std::unique_ptr<Recorder> finishing;
  {
    std::lock_guard<std::mutex> hold(owner);
    if (!recorder) return last;
    // Relaxed: the epoch's fence orders it before the wait; an offer that found the recorder
    // is a push away from done.
    current.store(nullptr, std::memory_order_relaxed);
    offering.wait_for_readers_from_writer();
    finishing = std::move(recorder);
    ending = finishing.get();
  }
  const RecordTotals totals = finishing->finish();
  // Marks come in under the lock only while a recorder runs: the sidecar is ours now.
  write_sidecar(path, sidecar);
  std::lock_guard<std::mutex> hold(owner);
  ending = nullptr;
  last = totals;
  return last;
}

void RecordingTap::mark(const RecordMark& mark) {
  std::lock_guard<std::mutex> hold(owner);
  if (recorder) sidecar.marks.push_back(mark);
}

RecordTotals RecordingTap::totals() const {
  std::lock_guard<std::mutex> hold(owner);
  if (recorder) return recorder->totals();
  if (ending) return ending->totals();
  return last.value_or(RecordTotals{});
}

}  // namespace Orvex::HardwareAPI::Haptics
