#include "SameCorvane.h"

#include <sys/file.h>
#include <unistd.h>

#include "CorvaneLink.h"
#include "Devices/Corvane.h"
#include "IO/PortSetup.h"

namespace Orvex::HardwareAPI::Haptics {

bool same_corvane_answers(CorvaneLink& link, const UUID& uuid, std::int64_t deadline_ns) {
  Devices::DeviceInfo info{};
  return link.wakeup(deadline_ns, info) == CorvaneLink::Reply::good &&
         info.device_model_number == Devices::Corvane::model_number &&
         info.device_id_ext.bytes == uuid.bytes;
}

bool reopen_same_corvane(const std::string& path, const UUID& uuid, int port,
                         std::int64_t deadline_ns) {
  const int reopened = IO::open_serial_port(path.c_str());
  if (reopened < 0) return false;
  // The loop's lock on the port went with the old one; a driver that took the port meanwhile
  // keeps it.
  if (::flock(reopened, LOCK_EX | LOCK_NB) != 0) {
    ::close(reopened);
    return false;
  }
  CorvaneLink link(reopened);
  const bool same = same_corvane_answers(link, uuid, deadline_ns);
  // dup2 replaces the dead port behind the stream's descriptor in one step.
  const bool adopted = same && ::dup2(reopened, port) == port;
  ::close(reopened);
  return adopted;
}

}  // namespace Orvex::HardwareAPI::Haptics
