#pragma once

// A lost Corvane coming back: the port's path is opened again, and the port is adopted only
// when the Corvane that answers its wake-up is the one the loop woke at its start (the same
// UUID). Another device at that path is left alone. A Corvane that only went quiet (its replies
// came too late for a while) is still behind the loop's own port, and answers there.

#include <cstdint>
#include <string>

#include "UUID.h"

namespace Orvex::HardwareAPI::Haptics {

class CorvaneLink;

// Wakes what answers on the link by the deadline: true when it is a Corvane with this UUID.
// False at once when the port has hung up.
bool same_corvane_answers(CorvaneLink& link, const UUID& uuid, std::int64_t deadline_ns);

// Opens path and wakes what answers there by the deadline. When it is a Corvane with this UUID,
// the new port takes the number of the descriptor `port` (the stream's), so the stream and the
// loop go on with it, and the result is true. Otherwise nothing changes.
bool reopen_same_corvane(const std::string& path, const UUID& uuid, int port,
                         std::int64_t deadline_ns);

}  // namespace Orvex::HardwareAPI::Haptics
