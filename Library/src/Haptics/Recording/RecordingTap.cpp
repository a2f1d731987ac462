#include "RecordingTap.h"

#include <cerrno>
#include <thread>

namespace Orvex::HardwareAPI::Haptics {

int RecordingTap::begin(const std::string& path, Recorder::Columns columns,
                        std::size_t queue_rows) {
  {
    std::lock_guard<std::mutex> hold(owner);
    // One file at a time: a second begin() must not empty the file of one still being written.
    if (recorder || starting || ending) return EBUSY;
    starting = true;
  }
  int error = 0;
  std::unique_ptr<Recorder> started = Recorder::start(path, columns, queue_rows, error);
  std::lock_guard<std::mutex> hold(owner);
  starting = false;
  if (!started) return error;
  recorder = std::move(started);
  last.reset();
  current.store(recorder.get(), std::memory_order_seq_cst);
  return 0;
}

std::optional<RecordTotals> RecordingTap::end() {
  std::unique_ptr<Recorder> finishing;
  {
    std::lock_guard<std::mutex> hold(owner);
    if (!recorder) return last;
    current.store(nullptr, std::memory_order_seq_cst);
    // An offer that found the recorder is a push away from done.
    while (busy.load(std::memory_order_seq_cst)) std::this_thread::yield();
    finishing = std::move(recorder);
    ending = finishing.get();
  }
  const RecordTotals totals = finishing->finish();
  std::lock_guard<std::mutex> hold(owner);
  ending = nullptr;
  last = totals;
  return last;
}

RecordTotals RecordingTap::totals() const {
  std::lock_guard<std::mutex> hold(owner);
  if (recorder) return recorder->totals();
  if (ending) return ending->totals();
  return last.value_or(RecordTotals{});
}

}  // namespace Orvex::HardwareAPI::Haptics
