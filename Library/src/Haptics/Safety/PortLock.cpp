#include "Haptics/PortLock.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

namespace Orvex::HardwareAPI::Haptics {

PortLock PortLock::take(int descriptor) {
  if (descriptor < 0) {
    errno = EBADF;
    return {};
  }
  int result;
  do {
    result = ::flock(descriptor, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? PortLock(descriptor) : PortLock();
}

pid_t PortLock::holder(int descriptor) {
  struct stat port {};
  if (::fstat(descriptor, &port) != 0) return 0;
  std::FILE* table = std::fopen("/proc/locks", "re");
  if (!table) return 0;
  // A line per lock: "1: FLOCK  ADVISORY  WRITE 4242 00:19:3 0 EOF", the device's major and minor
  // numbers in hexadecimal and its inode in decimal; lines of waiters hold "->" and are skipped.
  pid_t found = 0;
  char line[256];
  while (!found && std::fgets(line, sizeof line, table)) {
    if (std::strstr(line, "->") || !std::strstr(line, "FLOCK")) continue;
    char kind[16], mode[16], access[16];
    long pid = 0;
    unsigned major_number = 0, minor_number = 0;
    std::uintmax_t inode = 0;
    if (std::sscanf(line, "%*[^:]: %15s %15s %15s %ld %x:%x:%" SCNuMAX, kind, mode, access, &pid,
                    &major_number, &minor_number, &inode) == 7 &&
        major_number == major(port.st_dev) && minor_number == minor(port.st_dev) &&
        inode == port.st_ino && pid > 0)
      found = static_cast<pid_t>(pid);
  }
  std::fclose(table);
  return found;
}

void PortLock::release() {
  if (descriptor < 0) return;
  ::flock(descriptor, LOCK_UN);
  descriptor = -1;
}

PortLock::PortLock(PortLock&& other) noexcept
    : descriptor(std::exchange(other.descriptor, -1)) {}

PortLock& PortLock::operator=(PortLock&& other) noexcept {
  if (this != &other) {
    release();
    descriptor = std::exchange(other.descriptor, -1);
  }
  return *this;
}

PortLock::~PortLock() { release(); }

}  // namespace Orvex::HardwareAPI::Haptics
