#pragma once

#include <string>

namespace Orvex::Emulator {

// A symbolic link to a virtual port under a name the host looks for, such as /dev/ttyACM9.
class PortLink {
 public:
  // Replaces a link left behind by an earlier run, but nothing else that is in the way. Throws
  // std::runtime_error when the link cannot be made.
  PortLink(std::string link_path, std::string target);
  // Removes the link, unless someone has since pointed it elsewhere.
  ~PortLink();
  PortLink(const PortLink&) = delete;
  PortLink& operator=(const PortLink&) = delete;

  const std::string& path() const { return link_path; }

 private:
  std::string link_path;
  std::string target;
};

}  // namespace Orvex::Emulator
