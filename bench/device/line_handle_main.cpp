// A stand-in handle on a line of real speed, for the listener bench: prints "handle PATH", then
// for each line "stream SECONDS" on its standard input streams for that long and answers
// "sent N lost M". Silent otherwise; ends when its standard input closes.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "LineRateHandle.h"
#include "RawPty.h"

int main() {
  using namespace Orvex::Bench;
  RawPty handle;
  // A descriptor of the port's own side, to see how full its input buffer is.
  const int port = ::open(handle.path().c_str(), O_RDWR | O_NOCTTY);
  std::printf("handle %s\n", handle.path().c_str());
  std::fflush(stdout);
  std::string word;
  double seconds = 0;
  while (std::cin >> word >> seconds) {
    if (word != "stream") return EXIT_FAILURE;
    const LineTally tally = stream_at_line_rate(handle.master(), port, seconds);
    std::printf("sent %llu lost %llu\n", static_cast<unsigned long long>(tally.sent),
                static_cast<unsigned long long>(tally.lost));
    std::fflush(stdout);
  }
  ::close(port);
  return EXIT_SUCCESS;
}
