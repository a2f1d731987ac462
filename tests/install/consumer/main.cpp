// Links the installed device library and wakes a Corvane on a pseudo-terminal: the command must
// reach the other side as the single byte 0x0A.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Devices/Corvane.h"
#include "IO/SerialStream.h"
#include "Version.h"

int main() {
  using namespace Orvex::HardwareAPI;
  if (std::strcmp(get_cpp_version(), "0.1.1") != 0) {
    std::fprintf(stderr, "unexpected library version %s\n", get_cpp_version());
    return 1;
  }
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("pseudo-terminal");
    return 1;
  }
  IO::SerialStream stream(ptsname(master), true);
  Devices::Corvane corvane(&stream);
  corvane.SendDeviceWakeup();

  pollfd ready{master, POLLIN, 0};
  unsigned char byte = 0;
  if (poll(&ready, 1, 2000) != 1 || read(master, &byte, 1) != 1 || byte != 0x0A) {
    std::fprintf(stderr, "the wake-up did not arrive as 0x0A\n");
    return 1;
  }
  std::printf("installed library %s woke a Corvane\n", get_cpp_version());
  close(master);
  return 0;
}
