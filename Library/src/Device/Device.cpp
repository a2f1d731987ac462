#include "Devices/Device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ios>

namespace Orvex::HardwareAPI::Devices {

namespace {

// The text of an errno value, copied into the caller's storage before anything else can print.
const char* error_text(int error, char (&text)[256]) {
  std::snprintf(text, sizeof text, "%s", std::strerror(error));
  return text;
}

// Counts beyond the buffers would run past them; no message of either device needs more.
std::size_t within_buffer(std::size_t n) {
  return std::min(n, Device::buffer_size);
}

}  // namespace

Device::Device(IO::SerialStream* stream)
    : stream(stream),
      tx_buffer(new std::uint8_t[buffer_size]()),
      rx_buffer(new std::uint8_t[buffer_size]()) {}

void Device::WriteBytes(std::size_t n) {
  n = within_buffer(n);
  stream->write(reinterpret_cast<const char*>(tx_buffer.get()), static_cast<std::streamsize>(n));
  const int error = errno;
  const std::ios_base::iostate state = stream->rdstate();
  if (state == std::ios_base::goodbit || (state & std::ios_base::eofbit)) return;
  char text[256];
  std::fprintf(stderr, "[err] %s:%u> unable to write '%zu' bytes to stream: [%d] %s\n", __FILE__,
               __LINE__, n, error, error_text(error, text));
  std::fflush(stderr);
}

std::uint8_t Device::ReadHeaderCode() {
  stream->read(reinterpret_cast<char*>(rx_buffer.get()), 1);
  const int error = errno;
  const std::ios_base::iostate state = stream->rdstate();
  if (state == std::ios_base::goodbit) return rx_buffer[0];
  if (state & std::ios_base::eofbit) return 0;
  char text[256];
  std::fprintf(stderr, "[err] %s:%u> unable to read header code from stream: [%d] %s\n", __FILE__,
               __LINE__, error, error_text(error, text));
  std::fflush(stderr);
  return 0;
}

std::int32_t Device::ReadBytes(std::size_t n) {
  n = within_buffer(n);
  stream->read(reinterpret_cast<char*>(rx_buffer.get()), static_cast<std::streamsize>(n));
  const int error = errno;
  const std::ios_base::iostate state = stream->rdstate();
  if (state == std::ios_base::goodbit) return static_cast<std::int32_t>(stream->gcount());
  if (state & std::ios_base::eofbit) return 0;
  char text[256];
  std::fprintf(stderr, "[err] %s:%u> unable to read '%zu' bytes from stream: [%d] %s\n", __FILE__,
               __LINE__, n, error, error_text(error, text));
  std::fflush(stderr);
  return 0;
}

}  // namespace Orvex::HardwareAPI::Devices
