#include "Version.h"

#include <iostream>

namespace Orvex::HardwareAPI {

const char* get_cpp_version() {
  return "0.1.1";
}

void print_cpp_version() {
  std::cout << "Library version: " << get_cpp_version() << std::endl;
}

}  // namespace Orvex::HardwareAPI
