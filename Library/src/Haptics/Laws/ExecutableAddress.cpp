#include "ExecutableAddress.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace Orvex::HardwareAPI::Haptics {

AddressKind executable_address(std::uintptr_t address) {
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (!maps) return AddressKind::unknown;
  AddressKind kind = AddressKind::not_executable;
  char line[512];
  while (std::fgets(line, sizeof line, maps)) {
    std::uintmax_t start = 0, end = 0;
    char permissions[5] = {};
    // "start-end perms offset dev inode path", the addresses in hexadecimal.
    if (std::sscanf(line, "%jx-%jx %4s", &start, &end, permissions) != 3) continue;
    if (address >= start && address < end) {
      if (std::strchr(permissions, 'x')) kind = AddressKind::executable;
      break;
    }
  }
  std::fclose(maps);
  return kind;
}

}  // namespace Orvex::HardwareAPI::Haptics
