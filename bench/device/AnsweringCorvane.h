#pragma once

namespace Orvex::Bench {

// Answers every force command on the line at once with its state reply, and a wake-up with the
// device information of a Corvane, until the line is gone.
void answer_force_commands(int master_fd);

}  // namespace Orvex::Bench
