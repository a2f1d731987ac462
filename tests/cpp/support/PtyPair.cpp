#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "Interpose.h"

namespace Orvex::Testing {

PtyPair::PtyPair() {
  char name[128] = {};
  if (::openpty(&master_fd, &slave_fd, name, nullptr, nullptr) != 0)
    throw std::runtime_error("openpty failed");
  slave_path = name;
  termios raw{};
  ::tcgetattr(slave_fd, &raw);
  ::cfmakeraw(&raw);
  // As the library sets a port up: a read with nothing pending returns 0 at once.
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  ::tcsetattr(slave_fd, TCSANOW, &raw);
  ::fcntl(master_fd, F_SETFL, ::fcntl(master_fd, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  close_master();
  if (slave_fd >= 0) real::close(slave_fd);
}

void PtyPair::send(const Bytes& bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r = real::write(master_fd, bytes.data() + done, bytes.size() - done);
    if (r < 0) throw std::runtime_error("writing to the pty master failed");
    done += static_cast<std::size_t>(r);
  }
}

Bytes PtyPair::receive(std::size_t n, std::chrono::milliseconds timeout) const {
  Bytes got;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    std::uint8_t chunk[1024];
    const ssize_t r = real::read(master_fd, chunk, std::min(sizeof chunk, n - got.size()));
    if (r <= 0) break;
    got.insert(got.end(), chunk, chunk + r);
  }
  return got;
}

Bytes PtyPair::drain(std::chrono::milliseconds window) const {
  return receive(static_cast<std::size_t>(-1) / 2, window);
}

termios PtyPair::line_settings() const {
  termios t{};
  ::tcgetattr(slave_fd, &t);
  return t;
}

void PtyPair::set_line_settings(const termios& settings) const {
  ::tcsetattr(slave_fd, TCSANOW, &settings);
}

void PtyPair::close_master() {
  if (master_fd >= 0) real::close(master_fd);
  master_fd = -1;
}

}  // namespace Orvex::Testing
