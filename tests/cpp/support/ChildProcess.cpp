#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "Interpose.h"

extern char** environ;

namespace Orvex::Testing {

namespace {

// Programs built for another architecture run through the cross build's emulator.
const std::vector<std::string> launcher{ORVEX_PROGRAM_LAUNCHER};

void close_fd(int& fd) {
  if (fd >= 0) real::close(fd);
  fd = -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2 failed");
  std::string pattern = (std::filesystem::temp_directory_path() / "child-stderr-XXXXXX").string();
  const int err = ::mkstemp(pattern.data());
  if (err < 0) throw std::runtime_error("mkstemp failed");
  stderr_path = pattern;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& word : launcher) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  real::close(in[0]);
  real::close(out[1]);
  real::close(err);
  stdin_fd = in[1];
  stdout_fd = out[0];
  if (spawned != 0) throw std::runtime_error("cannot start " + program);
}

ChildProcess::~ChildProcess() {
  if (!reaped) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  close_fd(stdin_fd);
  close_fd(stdout_fd);
  std::filesystem::remove(stderr_path);
}

bool ChildProcess::read_more(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  pollfd p{stdout_fd, POLLIN, 0};
  if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
  char chunk[256];
  const ssize_t n = real::read(stdout_fd, chunk, sizeof chunk);
  if (n <= 0) return false;
  unread.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t end;
  while ((end = unread.find('\n')) == std::string::npos)
    if (!read_more(deadline)) return std::nullopt;
  std::string line = unread.substr(0, end);
  unread.erase(0, end + 1);
  return line;
}

std::string ChildProcess::rest_of_output(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (read_more(deadline)) {
  }
  return std::exchange(unread, std::string());
}

void ChildProcess::close_stdin() {
  close_fd(stdin_fd);
}

void ChildProcess::send_signal(int signal) {
  ::kill(pid, signal);
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      reaped = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < deadline);
  return std::nullopt;
}

std::string ChildProcess::error_text() const {
  std::ifstream file(stderr_path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace Orvex::Testing
