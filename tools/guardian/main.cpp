// orvex-guardian OWNER_PID PORT_PATH, started by a servo loop with its descriptors in place (see
// GuardianDescriptors.h): when the program that started it ends without standing it down, it
// commands zero force on the Corvane, since the arm keeps the last force it was sent.

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "Haptics/Safety/GuardianDescriptors.h"
#include "OwnerWatch.h"
#include "ZeroForce.h"

namespace {

namespace descriptors = Orvex::HardwareAPI::Haptics::GuardianDescriptors;
using namespace Orvex::HardwareAPI::Guardian;

// Whatever else the program left open is not the guardian's to keep open.
void close_inherited() {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, descriptors::first_free, ~0U, 0) == 0) return;
#endif
  const long limit = ::sysconf(_SC_OPEN_MAX);
  for (int descriptor = descriptors::first_free; descriptor < (limit > 0 ? limit : 1024);
       ++descriptor)
    ::close(descriptor);
}

// It sleeps until the program ends, then must write within milliseconds on a loaded machine:
// the real-time class when granted (a refusal is no error), its pages locked.
void prepare_to_act_quickly() {
  sched_param parameters{};
  parameters.sched_priority = sched_get_priority_max(SCHED_FIFO);
  ::sched_setscheduler(0, SCHED_FIFO, &parameters);
  ::mlockall(MCL_CURRENT);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OWNER_PID PORT_PATH (started by a servo loop)\n", argv[0]);
    return 2;
  }
  // The program's end is what it waits for; signals meant for the program are not its own.
  for (int signal_number : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGPIPE})
    ::signal(signal_number, SIG_IGN);
  close_inherited();
  prepare_to_act_quickly();
  const pid_t owner = static_cast<pid_t>(std::strtol(argv[1], nullptr, 10));
  // The loop starts only once its guardian is known to run: a spawn can succeed for a program
  // that then fails to load (under user-mode emulation, the exec's failure is the child's alone).
  const char ready = descriptors::ready;
  if (::send(descriptors::watch, &ready, 1, MSG_NOSIGNAL) != 1) return 1;
  if (watch_owner(descriptors::watch, owner) == OwnerNews::stood_down) return 0;
  if (command_zero_force(descriptors::port, argv[2])) {
    std::fprintf(stderr, "[guardian] process %ld ended with its servo loop running: zero force "
                         "commanded on %s\n", static_cast<long>(owner), argv[2]);
    return 0;
  }
  std::fprintf(stderr, "[guardian] process %ld ended with its servo loop running: zero force "
                       "could not be written on %s\n", static_cast<long>(owner), argv[2]);
  return 1;
}
