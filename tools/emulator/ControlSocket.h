#pragma once

#include <poll.h>

#include <functional>
#include <string>
#include <vector>

namespace Orvex::Emulator {

// A listening Unix stream socket whose clients send lines and get a line back for each. Served
// from the event loop: it never blocks. The socket file goes on exit.
class ControlSocket {
 public:
  using Answer = std::function<std::string(const std::string& line)>;

  // Throws std::runtime_error naming the path when it cannot listen there.
  explicit ControlSocket(const std::string& path);
  ~ControlSocket();
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  // Appends its descriptors to fds; serve() then takes the same ones back, in the same order.
  void watch(std::vector<pollfd>& fds) const;
  void serve(const pollfd* fds, const Answer& answer);
  std::size_t watched() const { return 1 + clients.size(); }

 private:
  struct Client {
    int fd;
    std::string pending;  // a line not yet ended
  };

  void accept_clients();
  // False when the client is gone or broke the rules, and must be dropped.
  bool read_lines(Client& client, const Answer& answer);

  std::string path;
  int listener = -1;
  std::vector<Client> clients;
};

}  // namespace Orvex::Emulator
