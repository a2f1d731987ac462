#pragma once

#include <sys/types.h>

#include <string>

namespace Orvex::HardwareAPI::Haptics {

// A watcher in a process of its own that commands zero force on a Corvane's port when this
// process ends in any way (a signal, _exit, abort, a crash, exec), since the arm keeps the last
// force it was sent. It holds a duplicate of the port's descriptor and the read end of a pipe
// whose write end only this process holds (closed on exec); while this process lives it never
// writes. stand_down() tells it to leave the port untouched and go.
//
// The program (orvex-guardian) is looked for at the path in the ORVEX_GUARDIAN environment
// variable when set, else beside the object the library is linked into (a Python module, a
// program), then in ../libexec from there, then in the installed package's libexec folder.
//
// Threads: start() and stand_down() by one thread at a time (the loop's start() and stop()).
class Guardian {
 public:
  Guardian() = default;
  Guardian(const Guardian&) = delete;
  Guardian& operator=(const Guardian&) = delete;
  ~Guardian();  // stands down

  // Spawns the guardian over the port (its path lets it reach a port that was opened again);
  // false when it could not be found or started, problem() then says why.
  bool start(int port, const std::string& path);
  // Lets the guardian go without writing. Only the process that started it does so: a child
  // forked without exec leaves the parent's guardian alone.
  void stand_down();
  bool running() const { return pid > 0; }
  pid_t process() const { return pid; }

  // Why the last start() on this thread failed.
  static const std::string& problem();
  // The program's path, or empty when it is nowhere to be found.
  static std::string program();

 private:
  pid_t pid = -1;
  pid_t owner = -1;   // the process that started it
  int watched = -1;   // the pipe's write end
};

}  // namespace Orvex::HardwareAPI::Haptics
