// The C++ contenders, driven round by round by the bench runner so that their rounds interleave
// with the Python ones. Arguments: the Corvane's port and the handle's port. Each line on standard
// input is "CONTENDER COUNT" (floor_cpp, library_cpp, handle_receive_cpp), "silent_wait",
// "counter_check" (does the allocation counter see allocations) or "servo_allocations SECONDS"
// (a servo loop's allocations per cycle) or "law_costs CYCLES" (what a user's law costs per
// cycle); each is answered by one line of JSON. Says
// {"ready": true} once its ports are open, and ends when its standard input does.

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "AllocationCounter.h"
#include "FloorExchange.h"
#include "LawCosts.h"
#include "LibraryContenders.h"
#include "Round.h"
#include "ServoAllocations.h"
#include "SilentWait.h"

int main(int argc, char** argv) {
  using namespace Orvex::Bench;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s CORVANE_PORT HANDLE_PORT\n", argv[0]);
    return 2;
  }
  std::map<std::string, std::unique_ptr<Contender>> contenders;
  contenders["floor_cpp"] = std::make_unique<FloorExchange>(argv[1]);
  contenders["library_cpp"] = std::make_unique<LibraryCorvane>(argv[1]);
  contenders["handle_receive_cpp"] = std::make_unique<LibraryHandle>(argv[2]);
  // The ports are open (and their opening flushes done): the runner may start exchanging.
  std::printf("{\"ready\": true}\n");
  std::fflush(stdout);

  char line[256];
  while (std::fgets(line, sizeof line, stdin)) {
    char name[64] = {};
    std::size_t count = 0;
    double seconds = 0;
    if (std::strncmp(line, "silent_wait", 11) == 0) {
      print_silent_wait();
    } else if (std::strncmp(line, "counter_check", 13) == 0) {
      std::printf(
          "{\"counter_check\": {\"counted\": %llu, \"counted_off_main_thread\": %llu, "
          "\"made\": 4}}\n",
          static_cast<unsigned long long>(counted_probe_allocations()),
          static_cast<unsigned long long>(counted_probe_allocations_off_main_thread()));
      std::fflush(stdout);
    } else if (std::sscanf(line, "servo_allocations %lf", &seconds) == 1) {
      print_servo_allocations(argv[1], seconds);
    } else if (std::sscanf(line, "law_costs %zu", &count) == 1) {
      print_law_costs(count);
    } else if (std::sscanf(line, "%63s %zu", name, &count) == 2 && contenders.count(name)) {
      print_round(name, timed_round(*contenders[name], count));
    } else {
      std::fprintf(stderr, "unknown command: %s", line);
      return 2;
    }
  }
  return 0;
}
