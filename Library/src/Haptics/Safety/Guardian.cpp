#include "Haptics/Guardian.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <cstdlib>
#include <cstring>

#include "GuardianDescriptors.h"

extern char** environ;

namespace Orvex::HardwareAPI::Haptics {

namespace {

constexpr const char* program_name = "orvex-guardian";

thread_local std::string last_problem;

bool fail(std::string why) {
  last_problem = std::move(why);
  return false;
}

bool executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// The folder of the object this library is linked into: a Python module, or a program.
std::string own_folder() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&own_folder), &info) || !info.dli_fname) return {};
  char resolved[PATH_MAX];
  if (!::realpath(info.dli_fname, resolved)) return {};
  std::string path(resolved);
  return path.substr(0, path.rfind('/'));
}

// A copy of a descriptor at or above the numbers the guardian takes its descriptors at, so that
// moving it there makes a new descriptor, one that outlives exec.
int copied_above_passed(int descriptor) {
  return ::fcntl(descriptor, F_DUPFD_CLOEXEC, GuardianDescriptors::first_free);
}

// It closes the port as it goes: once it has been waited for, nothing but the program holds the
// port open. One that does not go within a second (stopped by a debugger) is killed, so that
// stop() returns.
void reap(pid_t pid) {
  constexpr int polls = 5000;
  const timespec poll_interval{0, 200'000};
  for (int poll = 0; poll < polls; ++poll) {
    const pid_t ended = ::waitpid(pid, nullptr, WNOHANG);
    if (ended == pid || (ended < 0 && errno != EINTR)) return;
    ::nanosleep(&poll_interval, nullptr);
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Whether the guardian says it watches, within a time that allows for a loaded machine and for
// user-mode emulation; a guardian that ended without a word closed its end.
bool said_ready(int watched) {
  constexpr int ready_within_ms = 3000;
  pollfd ready{watched, POLLIN, 0};
  int polled;
  while ((polled = ::poll(&ready, 1, ready_within_ms)) < 0 && errno == EINTR) {
  }
  char byte = 0;
  return polled == 1 && ::recv(watched, &byte, 1, 0) == 1 &&
         byte == GuardianDescriptors::ready;
}

}  // namespace

std::string Guardian::program() {
  const char* named = std::getenv("ORVEX_GUARDIAN");
  if (named && *named) return named;
  const std::string folder = own_folder();
  if (!folder.empty()) {
    for (const std::string& candidate :
         {folder + "/" + program_name, folder + "/../libexec/" + program_name})
      if (executable(candidate)) return candidate;
  }
#ifdef ORVEX_GUARDIAN_INSTALLED
  if (executable(ORVEX_GUARDIAN_INSTALLED)) return ORVEX_GUARDIAN_INSTALLED;
#endif
  return {};
}

const std::string& Guardian::problem() { return last_problem; }

bool Guardian::start(int port, const std::string& path) {
  stand_down();
  const std::string found = program();
  if (found.empty())
    return fail(std::string(program_name) +
                " is not beside the module or program, nor installed (ORVEX_GUARDIAN may name it)");

  // A socket pair rather than a pipe: stand_down() writes without risking SIGPIPE.
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
    return fail(std::string("no socket pair for the guardian: ") + std::strerror(errno));
  const int watch_copy = copied_above_passed(pair[1]);
  const int port_copy = copied_above_passed(port);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, watch_copy, GuardianDescriptors::watch);
  posix_spawn_file_actions_adddup2(&actions, port_copy, GuardianDescriptors::port);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  // A group of its own: a terminal's interrupt or hang-up, or a signal to the program's group,
  // ends the program, not its guardian. No signal blocked that the program's thread blocked.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);

  const std::string owner_text = std::to_string(::getpid());
  char* arguments[] = {const_cast<char*>(found.c_str()), const_cast<char*>(owner_text.c_str()),
                       const_cast<char*>(path.c_str()), nullptr};
  int result = EBADF;
  if (watch_copy >= 0 && port_copy >= 0)
    result = ::posix_spawn(&pid, found.c_str(), &actions, &attributes, arguments, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  for (int descriptor : {pair[1], watch_copy, port_copy})
    if (descriptor >= 0) ::close(descriptor);
  if (result != 0) {
    ::close(pair[0]);
    pid = -1;
    return fail(found + " could not be started: " + std::strerror(result));
  }
  if (!said_ready(pair[0])) {
    ::close(pair[0]);
    reap(pid);
    pid = -1;
    const int why = ::access(found.c_str(), X_OK) != 0 ? errno : 0;
    return fail(found + " could not be started: " +
                (why ? std::strerror(why) : "it ended before it watched the program"));
  }
  watched = pair[0];
  owner = ::getpid();
  return true;
}

void Guardian::stand_down() {
  if (pid <= 0) return;
  if (owner == ::getpid()) {
    const char stand_down = GuardianDescriptors::stand_down;
    while (::send(watched, &stand_down, 1, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
    ::close(watched);
    reap(pid);
  } else {
    ::close(watched);
  }
  pid = -1;
  watched = -1;
}

Guardian::~Guardian() { stand_down(); }

}  // namespace Orvex::HardwareAPI::Haptics
