// orvex-emulator: Corvane arms and handles on pseudo-terminals, for work without hardware.

#include <sched.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "Options.h"

namespace {

// A device answers in its own time whatever the host runs; an emulator in the ordinary class
// waits its turn behind a browser or a build, and its late replies look like a lost device. The
// lowest real-time priority is enough to go before every ordinary process, and leaves a loop
// of a higher priority its turn.
void answer_in_realtime_class() {
  sched_param parameters{};
  parameters.sched_priority = sched_get_priority_min(SCHED_FIFO);
  if (::sched_setscheduler(0, SCHED_FIFO, &parameters) != 0)
    std::fputs("orvex-emulator: warning: the real-time class is not allowed here; answering"
               " in the ordinary class\n", stderr);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace Orvex::Emulator;
  Options options;
  try {
    options = parse_options(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::fprintf(stderr, "orvex-emulator: %s (see --help)\n", e.what());
    return 2;
  }
  if (options.help) {
    std::fputs(usage_text().c_str(), stdout);
    return 0;
  }
  if (options.realtime) answer_in_realtime_class();
  try {
    EventLoop(options).run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvex-emulator: %s\n", e.what());
    return 1;
  }
  return 0;
}
