#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Haptics/RecordResult.h"
#include "RecordFile.h"
#include "RecordFormat.h"
#include "../Realtime/DeviceThread.h"
#include "../Realtime/SpscRing.h"

namespace Orvex::HardwareAPI::Haptics {

// Rows in the file, rows pushed but not in it (the queue was full, the file refused them or was
// removed), and why the file lacks rows.
using RecordTotals = RecordResult;

// Writes the rows one thread pushes to a file, from a writer thread of its own, so the pushing
// thread never waits on the disk. A row that does not fit in the queue, or that the file
// refuses, is counted as lost: rows + lost is always the number of rows pushed. A file removed
// while it is written (it, or a folder above it) holds nothing any more: from then on all its
// rows count as lost, with the error ENOENT.
//
// Threads: push() from one producer thread at a time; everything else from the owner's thread.
class Recorder {
 public:
  struct Columns {
    const char* const* names;
    std::size_t count;  // at most max_record_columns
    // Where in a pushed row each column is, or null for the row's first `count` values.
    const std::uint16_t* picks = nullptr;
  };

  // Opens the file (its format by the path's ending; see RecordFile::open) and starts the
  // writer. On failure returns nothing and sets error to an errno value (EINVAL for a path that
  // ends in neither .csv nor .npy, or for too many columns).
  static std::unique_ptr<Recorder> start(const std::string& path, Columns columns,
                                         std::size_t queue_rows, int& error);
  ~Recorder();  // finishes
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Producer only; never blocks or allocates. False when the row (its first columns.count
  // values) was lost to a full queue.
  bool push(const double* row);
  bool push(const RecordRow& row) { return push(row.data()); }

  // Writes what is queued, makes the file whole and closes it, then joins the writer; the
  // producer must have stopped pushing. Idempotent.
  RecordTotals finish();
  // So far: may lag behind push() by the writer's pace.
  RecordTotals totals() const;

 private:
  Recorder(std::size_t queue_rows, std::size_t columns);
  void write_until_finished();
  void drain();
  // The writer's: keeps the first reason rows went missing.
  void note_error(int error);

  const std::size_t columns;
  std::vector<std::uint16_t> picks;  // empty: the row's first columns
  std::vector<double> picked;        // the producer's: a row's picked values
  SpscRing<double> queue;            // rows of `columns` values
  RecordFile file;
  std::vector<double> batch;  // the writer's: batch_rows rows
  DeviceThread writer;
  std::atomic<bool> finishing{false};
  std::atomic<std::uint64_t> queue_lost{0};  // the producer's count
  std::atomic<std::uint64_t> file_lost{0};   // the writer's count
  std::atomic<std::uint64_t> written{0};     // the writer's count
  std::atomic<bool> removed{false};          // the writer's finding
  std::atomic<int> first_error{0};           // the writer's
};

}  // namespace Orvex::HardwareAPI::Haptics
