#include "RecordFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Orvex::HardwareAPI::Haptics {

RecordFile::~RecordFile() { close(); }

int open_regular_file(const std::string& path, int& fd) {
  fd = -1;
  // A device file is not even opened: opening some (a serial port) already acts on them.
  struct stat found {};
  if (::lstat(path.c_str(), &found) == 0 && !S_ISREG(found.st_mode))
    return S_ISLNK(found.st_mode) ? ELOOP : S_ISDIR(found.st_mode) ? EISDIR : EEXIST;
  // Emptied only once it is known to be a regular file: what was swapped in since is refused.
  const int opened =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (opened < 0) return errno == ENXIO ? EEXIST : errno;  // a FIFO or socket without a reader
  int error = 0;
  if (::fstat(opened, &found) != 0)
    error = errno;
  else if (!S_ISREG(found.st_mode))
    error = EEXIST;
  else if (::ftruncate(opened, 0) != 0)
    error = errno;
  if (error) {
    ::close(opened);
    return error;
  }
  fd = opened;
  return 0;
}

bool write_whole(int fd, const std::string& bytes) {
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

int RecordFile::open(const std::string& path, RecordFormat format_, const char* const* names,
                     std::size_t columns_) {
  close();
  format = format_;
  columns = columns_;
  rows_written = rows_in_header = good_bytes = 0;
  refused = 0;
  if (const int error = open_regular_file(path, fd)) return error;
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

bool RecordFile::append(const double* rows, std::size_t n) {
  if (fd < 0) return false;
  encoded.clear();
  for (std::size_t i = 0; i < n; ++i) {
    if (format == RecordFormat::csv)
      append_csv_row(rows + i * columns, columns, encoded);
    else
      append_npy_row(rows + i * columns, columns, encoded);
  }
  if (!write_all(encoded)) {
    refused = errno ? errno : EIO;
    // A part that went in would shift every later row: cut it off again.
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

bool RecordFile::removed() const {
  struct stat found {};
  return fd >= 0 && ::fstat(fd, &found) == 0 && found.st_nlink == 0;
}

int RecordFile::close() {
  if (fd < 0) return 0;
  checkpoint();
  const int closed = ::close(fd);
  fd = -1;
  // Closed either way; EINTR says nothing about the data.
  return closed == 0 || errno == EINTR ? 0 : errno;
}

bool RecordFile::write_all(const std::string& bytes) { return write_whole(fd, bytes); }

}  // namespace Orvex::HardwareAPI::Haptics
