#pragma once

namespace Orvex::Bench {

// Sends status messages back to back, as fast as the reader takes them, until the line is gone.
void stream_status_messages(int master_fd);

}  // namespace Orvex::Bench
