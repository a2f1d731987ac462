// The bench's stand-in devices, in a process of their own so that they take no time from the
// contenders' processes: an instantly answering Corvane and a streaming handle, each on its own
// pty. Prints "corvane PATH" and "handle PATH", then serves until its standard input closes.

#include <unistd.h>

#include <cstdio>
#include <thread>

#include "AnsweringCorvane.h"
#include "RawPty.h"
#include "StreamingHandle.h"

int main() {
  using namespace Orvex::Bench;
  RawPty corvane;
  RawPty handle;
  std::printf("corvane %s\nhandle %s\n", corvane.path().c_str(), handle.path().c_str());
  std::fflush(stdout);
  std::thread(answer_force_commands, corvane.master()).detach();
  std::thread(stream_status_messages, handle.master()).detach();
  char ignored[64];
  while (::read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
  }
  // The serving threads may be blocked on their lines; leave without waiting for them.
  std::fflush(stdout);
  _exit(0);
}
