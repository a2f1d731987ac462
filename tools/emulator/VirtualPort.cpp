#include "VirtualPort.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace Orvex::Emulator {

namespace {

constexpr std::size_t max_queued_bytes = 64 * 1024;

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

VirtualPort::VirtualPort() {
  char name[128] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) fail("openpty");
  slave_path = name;
  termios raw{};
  if (::tcgetattr(slave, &raw) != 0) fail("tcgetattr");
  ::cfmakeraw(&raw);
  // No echo of the host's commands, and a read with nothing pending returns at once.
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(slave, TCSANOW, &raw) != 0) fail("tcsetattr");
  if (::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) != 0) fail("fcntl");
}

VirtualPort::~VirtualPort() {
  ::close(master);
  ::close(slave);
}

std::size_t VirtualPort::read(std::uint8_t* into, std::size_t capacity) {
  const ssize_t got = ::read(master, into, capacity);
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

bool VirtualPort::send(const Message& message) {
  if (output.size() + message.size() > max_queued_bytes) return false;
  output.insert(output.end(), message.begin(), message.end());
  flush();
  return true;
}

void VirtualPort::flush() {
  while (!output.empty()) {
    const ssize_t put = ::write(master, output.data(), output.size());
    if (put <= 0) return;  // the line is full; poll says when it drains
    output.erase(output.begin(), output.begin() + put);
  }
}

}  // namespace Orvex::Emulator
