#include "Recorder.h"

#include <time.h>

#include <cerrno>

#include "../MonotonicClock.h"

namespace Orvex::HardwareAPI::Haptics {

namespace {

// Every count and finding is a figure of its own, read for display or after the writer's join.
constexpr auto relaxed = std::memory_order_relaxed;

// Formatting a batch of rows takes little stack; the name is one that tools (top, the
// benchmark) can find the writer by.
const DeviceThreadOptions writer_thread{"orvex-recorder", 256 * 1024};
// How often the writer wakes: a queue sized for seconds never fills between two wake-ups.
constexpr long writer_period_ns = 20'000'000;
// A .npy header counts the rows in the file at least this often, so a recording cut off by a
// crash reads up to its last whole second.
constexpr std::int64_t checkpoint_period_ns = 250'000'000;
constexpr std::size_t batch_rows = 1024;

}  // namespace

Recorder::Recorder(std::size_t queue_rows, std::size_t columns)
    : columns(columns), queue(queue_rows, columns), batch(batch_rows * columns) {}

std::unique_ptr<Recorder> Recorder::start(const std::string& path, Columns columns,
                                          std::size_t queue_rows, int& error) {
  const std::optional<RecordFormat> format = record_format_of(path);
  if (!format || columns.count == 0 || columns.count > max_record_columns) {
    error = EINVAL;
    return nullptr;
  }
  std::unique_ptr<Recorder> recorder(new Recorder(queue_rows, columns.count));
  if (columns.picks) {
    recorder->picks.assign(columns.picks, columns.picks + columns.count);
    recorder->picked.resize(columns.count);
  }
  error = recorder->file.open(path, *format, columns.names, columns.count);
  if (error) return nullptr;

  Recorder* writing = recorder.get();
  error = recorder->writer.start_from_owner(writer_thread,
                                            [writing] { writing->write_until_finished(); });
  if (error) return nullptr;
  return recorder;
}

Recorder::~Recorder() { finish(); }

bool Recorder::push(const double* row) {
  if (!picks.empty()) {
    for (std::size_t i = 0; i < columns; ++i) picked[i] = row[picks[i]];
    row = picked.data();
  }
  if (queue.push_row_from_producer(row)) return true;
  queue_lost.fetch_add(1, relaxed);
  return false;
}

RecordTotals Recorder::finish() {
  if (writer.started()) {
    finishing.store(true, std::memory_order_release);
    writer.join_from_owner();
  }
  return totals();
}

RecordTotals Recorder::totals() const {
  const std::uint64_t rows = written.load(relaxed);
  const std::uint64_t lost = queue_lost.load(relaxed) + file_lost.load(relaxed);
  if (removed.load(relaxed)) return {0, rows + lost, ENOENT};
  return {rows, lost, first_error.load(relaxed)};
}

void Recorder::note_error(int error) {
  int none = 0;
  first_error.compare_exchange_strong(none, error, relaxed);
}

void Recorder::write_until_finished() {
  std::int64_t last_checkpoint = monotonic_ns();
  // Acquire: a finish request comes after the producer's last push, which drain() then sees.
  while (!finishing.load(std::memory_order_acquire)) {
    const timespec pause{0, writer_period_ns};
    nanosleep(&pause, nullptr);
    drain();
    if (monotonic_ns() - last_checkpoint >= checkpoint_period_ns) {
      file.checkpoint();
      // Rows written to a removed file are gone as soon as it closes: said while it runs.
      if (file.removed()) removed.store(true, relaxed);
      last_checkpoint = monotonic_ns();
    }
  }
  drain();
  if (file.removed()) removed.store(true, relaxed);
  if (const int error = file.close()) note_error(error);
}

void Recorder::drain() {
  while (const std::size_t n = queue.pop_from_consumer(batch.data(), batch_rows)) {
    if (removed.load(relaxed)) {
      file_lost.fetch_add(n, relaxed);
    } else if (file.append(batch.data(), n)) {
      written.fetch_add(n, relaxed);
    } else {
      file_lost.fetch_add(n, relaxed);
      note_error(file.refusal());
    }
  }
}

}  // namespace Orvex::HardwareAPI::Haptics
