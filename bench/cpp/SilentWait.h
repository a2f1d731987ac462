#pragma once

// What one exchange costs the process when the port stays silent: its read waits out the
// one-second limit, polling. Printed as one line of JSON on standard output.

namespace Orvex::Bench {

void print_silent_wait();

}  // namespace Orvex::Bench
