#include <cstdio>
#include <exception>
#include <iostream>

#include <unistd.h>

#include "Devices/Corvane.h"
#include "Devices/Handle.h"
#include "Discovery.h"
#include "IO/SerialStream.h"

namespace Orvex::HardwareAPI {

namespace {

// The model number a Corvane gives in its device information.
constexpr std::uint8_t corvane_model = 4;

// The probe is done with the port as soon as it has its answer.
void close_port(IO::SerialStream& stream) {
  IO::serialib* port = stream.port();
  if (port && port->fd >= 0) {
    ::close(port->fd);
    port->fd = -1;
  }
}

// Records whether the handle answered the wake-up in a way only a handle does: with its
// information or a status message. An error reply does not count.
class MyHandle : public Devices::Handle {
 public:
  using Handle::Handle;
  bool found = false;

  void OnReceiveHandleInfo(std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t,
                           std::uint8_t) override {
    found = true;
  }
  void OnReceiveHandleStatusMessage(std::uint16_t, const float*, std::uint8_t, std::uint8_t,
                                    std::uint8_t, const std::uint8_t*) override {
    found = true;
  }
};

}  // namespace

int probe_handle(const char* path) {
  try {
    IO::SerialStream stream(path, false);
    if (stream.Open() != 1) return 0;
    MyHandle handle(&stream);
    handle.SendDeviceWakeup();
    handle.Receive();
    close_port(stream);
    return handle.found ? 1 : 0;
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return 0;
  }
}

int probe_corvane(const char* path) {
  try {
    IO::SerialStream stream(path, false);
    if (stream.Open() != 1) return 0;
    // A reply with another code is drained and one cut short is dropped: both leave model 0.
    const bool found =
        Devices::Corvane(&stream).device_wakeup().device_model_number == corvane_model;
    close_port(stream);
    return found ? 1 : 0;
  } catch (const std::exception& e) {
    std::printf("exception: %s\n", e.what());
    std::fflush(stdout);
    return 0;
  }
}

}  // namespace Orvex::HardwareAPI
