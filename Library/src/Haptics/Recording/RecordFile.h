#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "RecordFormat.h"

namespace Orvex::HardwareAPI::Haptics {

// Creates (or empties) a regular file at path for writing, never waiting and never following a
// symbolic link in its last component: 0 and fd set, or the errno value (EEXIST for something
// other than a regular file there, ELOOP for a symbolic link, EISDIR for a folder).
int open_regular_file(const std::string& path, int& fd);
// Writes all the bytes: false (errno set) when the file took fewer.
bool write_whole(int fd, const std::string& bytes);

// A recording's file, written by one thread: rows are either wholly in the file or counted as
// lost, never half there. A .npy header is kept valid: it always counts rows that are wholly in
// the file, so a recording cut off at any moment reads up to its last checkpoint. Only a regular
// file is written: opening never waits (a FIFO without a reader would hold it up for good) and
// never follows a symbolic link in the path's last component.
class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Creates (or empties) the file and writes its header: 0, or the errno value that stopped it;
  // EEXIST when something other than a regular file is at the path, ELOOP for a symbolic link.
  int open(const std::string& path, RecordFormat format, const char* const* names,
           std::size_t columns);
  // Appends n rows of `columns` values each: true when they are all in the file; false when the file refused them,
  // in which case none of them is (the file is cut back) and refusal() says why.
  bool append(const double* rows, std::size_t n);
  int refusal() const { return refused; }
  // Makes the .npy header count every row appended so far.
  void checkpoint();
  // Whether the file is no longer in any folder (it, or a folder above it, was removed): what
  // is written goes nowhere.
  bool removed() const;
  // 0, or the errno value of a failure the system reported only on closing.
  int close();

  std::uint64_t rows() const { return rows_written; }

 private:
  bool write_all(const std::string& bytes);

  int fd = -1;
  RecordFormat format = RecordFormat::csv;
  std::size_t columns = 0;
  std::uint64_t rows_written = 0;
  std::uint64_t rows_in_header = 0;
  std::uint64_t good_bytes = 0;  // the file's length after the last whole append
  int refused = 0;               // the errno value of the last append refused
  std::string encoded;           // reused from append to append
};

}  // namespace Orvex::HardwareAPI::Haptics
