#include "ControlSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace Orvex::Emulator {

namespace {

// A request line longer than this is no request of ours.
constexpr std::size_t max_line = 4096;

sockaddr_un address_of(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path)
    throw std::runtime_error("--control " + path + ": a socket path holds at most " +
                             std::to_string(sizeof address.sun_path - 1) + " bytes");
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// A socket file that nobody listens on is left from an emulator that died: it may go.
bool stale_socket(const sockaddr_un& address) {
  struct stat status {};
  if (::stat(address.sun_path, &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool answered =
      ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(probe);
  return !answered;
}

}  // namespace

ControlSocket::ControlSocket(const std::string& path_) : path(path_) {
  const sockaddr_un address = address_of(path);
  if (stale_socket(address)) ::unlink(path.c_str());
  listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 8) != 0) {
    const int error = errno;
    if (listener >= 0) ::close(listener);
    throw std::runtime_error("--control " + path + ": cannot listen there (" +
                             (error == EADDRINUSE ? std::string("a file or a live socket is there")
                                                  : std::strerror(error)) +
                             ")");
  }
}

ControlSocket::~ControlSocket() {
  for (const Client& client : clients) ::close(client.fd);
  ::close(listener);
  ::unlink(path.c_str());
}

void ControlSocket::watch(std::vector<pollfd>& fds) const {
  fds.push_back({listener, POLLIN, 0});
  for (const Client& client : clients) fds.push_back({client.fd, POLLIN, 0});
}

void ControlSocket::serve(const pollfd* fds, const Answer& answer) {
  // Clients first: an accepted one was not watched yet.
  std::vector<int> gone;
  for (std::size_t i = 0; i < clients.size(); ++i)
    if (fds[1 + i].revents && !read_lines(clients[i], answer)) gone.push_back(clients[i].fd);
  for (const int fd : gone) {
    ::close(fd);
    clients.erase(std::find_if(clients.begin(), clients.end(),
                               [fd](const Client& client) { return client.fd == fd; }));
  }
  if (fds[0].revents) accept_clients();
}

void ControlSocket::accept_clients() {
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    clients.push_back({fd, {}});
  }
}

bool ControlSocket::read_lines(Client& client, const Answer& answer) {
  char chunk[1024];
  for (;;) {
    const ssize_t n = ::recv(client.fd, chunk, sizeof chunk, 0);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    client.pending.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t end; (end = client.pending.find('\n')) != std::string::npos;) {
      const std::string reply = answer(client.pending.substr(0, end)) + "\n";
      client.pending.erase(0, end + 1);
      // Replies are short: a client that lets a socket buffer of them pile up is not listening.
      if (::send(client.fd, reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL) !=
          static_cast<ssize_t>(reply.size()))
        return false;
    }
    if (client.pending.size() > max_line) {
      const std::string refusal = "{\"error\": \"a request line holds at most 4096 bytes\"}\n";
      ::send(client.fd, refusal.data(), refusal.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      return false;
    }
  }
}

}  // namespace Orvex::Emulator
