#pragma once

// A pseudo-terminal in raw mode, as a port the library can open by path: a read with nothing
// pending returns at once. The slave side stays open for the pty's lifetime, so the line stays up
// while clients open and close it.

#include <string>

namespace Orvex::Bench {

class RawPty {
 public:
  RawPty();
  ~RawPty();
  RawPty(const RawPty&) = delete;
  RawPty& operator=(const RawPty&) = delete;

  const std::string& path() const { return slave_path; }
  // The device's side of the line (blocking).
  int master() const { return master_fd; }

 private:
  int master_fd = -1;
  int slave_fd = -1;
  std::string slave_path;
};

}  // namespace Orvex::Bench
