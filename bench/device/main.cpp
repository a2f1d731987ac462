// The bench's stand-in devices, in a process of their own so that they take no time from the
// contenders' processes: instantly answering Corvanes and a streaming handle, each on its own
// pty. Argument: how many Corvanes (default 1). Prints "corvane PATH" for each, then
// "handle PATH", and serves until its standard input closes.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "AnsweringCorvane.h"
#include "RawPty.h"
#include "StreamingHandle.h"

int main(int argc, char** argv) {
  using namespace Orvex::Bench;
  const int corvane_count = argc > 1 ? std::atoi(argv[1]) : 1;
  if (corvane_count < 1) {
    std::fprintf(stderr, "usage: %s [CORVANES]\n", argv[0]);
    return 2;
  }
  std::vector<std::unique_ptr<RawPty>> corvanes;
  for (int i = 0; i < corvane_count; ++i) {
    corvanes.push_back(std::make_unique<RawPty>());
    std::printf("corvane %s\n", corvanes.back()->path().c_str());
  }
  RawPty handle;
  std::printf("handle %s\n", handle.path().c_str());
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
