#pragma once

namespace Orvex::HardwareAPI {

// The library's own version, "0.1.1".
const char* get_cpp_version();

// Prints "Library version: <version>" and a newline on the process's standard output, flushed.
void print_cpp_version();

}  // namespace Orvex::HardwareAPI
