#pragma once

// Opening a tty the way every stream of the library opens one: 115200 baud, 8N1, raw,
// non-blocking, stale input flushed, DTR raised. A servo loop that reconnects opens its port
// again this way.

namespace Orvex::HardwareAPI::IO {

// The configured descriptor, or -1 with errno saying why (ENOTTY for a path that is no terminal,
// EFAULT for a null path).
int open_serial_port(const char* path);

}  // namespace Orvex::HardwareAPI::IO
