#include "RecordFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace Orvex::HardwareAPI::Haptics {

RecordFile::~RecordFile() { close(); }

int RecordFile::open(const std::string& path, RecordFormat format_, const char* const* names,
                     std::size_t columns_) {
  close();
  format = format_;
  columns = columns_;
  rows_written = rows_in_header = good_bytes = 0;
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  const std::string header =
      format == RecordFormat::csv ? csv_header(names, columns) : npy_header(0, columns);
  if (!write_all(header)) {
    const int error = errno ? errno : EIO;
    close();
    return error;
  }
  good_bytes = header.size();
  return 0;
}

bool RecordFile::append(const RecordRow* rows, std::size_t n) {
  if (fd < 0) return false;
  encoded.clear();
  for (std::size_t i = 0; i < n; ++i) {
    if (format == RecordFormat::csv)
      append_csv_row(rows[i], columns, encoded);
    else
      append_npy_row(rows[i], columns, encoded);
  }
  if (!write_all(encoded)) {
    // A part that went in would shift every later row: cut it off again (a device that refuses
    // to shrink, such as a full device file, had taken nothing anyway).
    if (::ftruncate(fd, static_cast<off_t>(good_bytes)) == 0)
      ::lseek(fd, static_cast<off_t>(good_bytes), SEEK_SET);
    return false;
  }
  good_bytes += encoded.size();
  rows_written += n;
  return true;
}

void RecordFile::checkpoint() {
  if (fd < 0 || format != RecordFormat::npy || rows_in_header == rows_written) return;
  const std::string header = npy_header(rows_written, columns);
  // The rows went in before; a header that counts them goes in after, in one small write.
  if (::pwrite(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size()))
    rows_in_header = rows_written;
}

void RecordFile::close() {
  if (fd < 0) return;
  checkpoint();
  ::close(fd);
  fd = -1;
}

bool RecordFile::write_all(const std::string& bytes) {
  std::size_t done = 0;
  errno = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace Orvex::HardwareAPI::Haptics
