#include "PortLink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace Orvex::Emulator {

namespace {

bool is_link(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string link_target(const std::string& path) {
  char buffer[4096];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

PortLink::PortLink(std::string link_path_, std::string target_)
    : link_path(std::move(link_path_)), target(std::move(target_)) {
  if (is_link(link_path)) ::unlink(link_path.c_str());
  if (::symlink(target.c_str(), link_path.c_str()) != 0)
    throw std::runtime_error("cannot link " + link_path + " to " + target + ": " +
                             std::strerror(errno));
}

PortLink::~PortLink() {
  if (link_target(link_path) == target) ::unlink(link_path.c_str());
}

}  // namespace Orvex::Emulator
