#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace Orvex::Bench {

// Writes all n bytes to a blocking descriptor; false when the line is gone.
inline bool write_all(int fd, const std::uint8_t* bytes, std::size_t n) {
  while (n > 0) {
    const ssize_t r = ::write(fd, bytes, n);
    if (r <= 0) return false;
    bytes += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

}  // namespace Orvex::Bench
