#pragma once

// Captures what is written on a process descriptor (1 or 2), where the library prints, while the
// object lives or until text() is called.

#include <string>

namespace Orvex::Testing {

class CapturedFd {
 public:
  explicit CapturedFd(int fd);
  ~CapturedFd();
  CapturedFd(const CapturedFd&) = delete;
  CapturedFd& operator=(const CapturedFd&) = delete;

  // Restores the descriptor and returns everything written to it meanwhile.
  std::string text();

 private:
  void restore();
  int fd;
  int saved = -1;
  int file = -1;
  std::string captured;
};

}  // namespace Orvex::Testing
