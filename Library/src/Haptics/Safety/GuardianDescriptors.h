#pragma once

// What the library and the guardian program agree on: the descriptors the guardian is started
// with, the byte it sends once it watches, and the byte that tells it to stand down. Its arguments are the program's process id
// and the port's path.

namespace Orvex::HardwareAPI::Haptics::GuardianDescriptors {

constexpr int watch = 3;       // the guardian's end of the socket pair the program holds the other of
constexpr int port = 4;        // a duplicate of the port's descriptor
constexpr int first_free = 5;  // the first number the guardian does not take as one of its own
constexpr char stand_down = 'S';
constexpr char ready = 'R';

}  // namespace Orvex::HardwareAPI::Haptics::GuardianDescriptors
