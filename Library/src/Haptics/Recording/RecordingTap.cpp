#include "RecordingTap.h"

#include <cerrno>
#include <thread>

namespace Orvex::HardwareAPI::Haptics {

int RecordingTap::begin(const std::string& path, Recorder::Columns columns,
                        std::size_t queue_rows) {
  std::lock_guard<std::mutex> hold(owner);
  if (recorder) return EBUSY;
  int error = 0;
  recorder = Recorder::start(path, columns, queue_rows, error);
  if (!recorder) return error;
  last.reset();
  current.store(recorder.get(), std::memory_order_seq_cst);
  return 0;
}

std::optional<RecordTotals> RecordingTap::end() {
  std::lock_guard<std::mutex> hold(owner);
  if (!recorder) return last;
  current.store(nullptr, std::memory_order_seq_cst);
  // An offer that found the recorder is a push away from done.
  while (busy.load(std::memory_order_seq_cst)) std::this_thread::yield();
  last = recorder->finish();
  recorder.reset();
  return last;
}

RecordTotals RecordingTap::totals() const {
  std::lock_guard<std::mutex> hold(owner);
  return recorder ? recorder->totals() : last.value_or(RecordTotals{});
}

bool RecordingTap::recording() const {
  std::lock_guard<std::mutex> hold(owner);
  return recorder != nullptr;
}

}  // namespace Orvex::HardwareAPI::Haptics
