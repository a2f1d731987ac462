#pragma once

// A program of the project's own run beside the test (in a cross build, through the emulator of
// the target architecture): its standard input is a pipe the test can close, its standard
// output a pipe read line by line, its standard error a temporary file read at any time.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace Orvex::Testing {

class ChildProcess {
 public:
  // Throws std::runtime_error when the program cannot be started.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
  // Kills the program if it is still running.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of its standard output, without the newline; nothing when none came in time.
  std::optional<std::string> read_line(
      std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
  // Everything else it wrote on standard output, up to its end or the timeout.
  std::string rest_of_output(std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));
  void close_stdin();
  void send_signal(int signal);
  // Its exit status (128 + the signal when a signal ended it), or nothing if it is still running
  // after the timeout.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  std::string error_text() const;

 private:
  // Reads what has come on standard output, waiting at most until the deadline; false at its end
  // or when nothing came.
  bool read_more(std::chrono::steady_clock::time_point deadline);

  pid_t pid = -1;
  int stdin_fd = -1;
  int stdout_fd = -1;
  std::string stderr_path;
  std::string unread;
  bool reaped = false;
};

}  // namespace Orvex::Testing
