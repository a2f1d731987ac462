// orvex-emulator: Corvane arms and handles on pseudo-terminals, for work without hardware.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "Options.h"

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
  try {
    EventLoop(options).run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvex-emulator: %s\n", e.what());
    return 1;
  }
  return 0;
}
