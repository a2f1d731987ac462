// The bench's stand-in devices, in a process of their own so that they take no time from the
// contenders' processes: instantly answering Corvanes and a streaming handle, each on its own
// pty. Arguments: how many Corvanes (default 1), then "realtime" to serve in a real-time
// scheduling class where the system grants it, as a device's own processor would answer
// whatever else the host runs. Prints "corvane PATH" for each, then "handle PATH", then with
// "realtime" a line "realtime granted" or "realtime refused"; serves until its standard input
// closes.

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "AnsweringCorvane.h"
#include "RawPty.h"
#include "StreamingHandle.h"

namespace {

// For this thread and the threads it starts afterwards, which inherit its class.
bool serve_in_realtime() {
  sched_param parameters{};
  parameters.sched_priority = sched_get_priority_min(SCHED_FIFO);
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace Orvex::Bench;
  const int corvane_count = argc > 1 ? std::atoi(argv[1]) : 1;
  const bool realtime = argc > 2 && std::strcmp(argv[2], "realtime") == 0;
  if (corvane_count < 1 || argc > 3 || (argc == 3 && !realtime)) {
    std::fprintf(stderr, "usage: %s [CORVANES [realtime]]\n", argv[0]);
    return 2;
  }
  std::vector<std::unique_ptr<RawPty>> corvanes;
  for (int i = 0; i < corvane_count; ++i) {
    corvanes.push_back(std::make_unique<RawPty>());
    std::printf("corvane %s\n", corvanes.back()->path().c_str());
  }
  RawPty handle;
  std::printf("handle %s\n", handle.path().c_str());
  if (realtime) std::printf("realtime %s\n", serve_in_realtime() ? "granted" : "refused");
  std::fflush(stdout);
  for (const auto& corvane : corvanes) std::thread(answer_force_commands, corvane->master()).detach();
  std::thread(stream_status_messages, handle.master()).detach();
  char ignored[64];
  while (::read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
  }
  // The serving threads may be blocked on their lines; leave without waiting for them.
  std::fflush(stdout);
  _exit(0);
}
