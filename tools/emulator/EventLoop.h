#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ArmOperator.h"
#include "EmulatedDevice.h"
#include "FaultInjector.h"
#include "LineTiming.h"
#include "MessageLog.h"
#include "Options.h"
#include "PortLink.h"
#include "VirtualPort.h"

namespace Orvex::Emulator {

// One thread serves every device: it waits in ppoll() on the ports, standard input, a signal
// descriptor, the hands' control sockets and the next moment something is due (a held-back
// message, a streamed status, a hand's next millisecond).
class EventLoop {
 public:
  // Opens each device's port and link, printing its line on standard output as it goes.
  // Throws std::exception when a port or link cannot be made.
  explicit EventLoop(const Options& options);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Serves until SIGINT, SIGTERM or SIGHUP, or the end of standard input.
  void run();

 private:
  struct Held {
    double due_s;
    const char* name;
    Message message;
    std::string fault;
  };
  struct TimedByte {
    double due_s;
    std::uint8_t byte;
  };
  struct Station {
    explicit Station(const LineTiming& line) : line(line) {}
    std::string label;
    std::unique_ptr<EmulatedDevice> device;
    VirtualPort port;
    std::optional<PortLink> link;
    std::deque<Held> held;  // under latency, oldest first
    LineTiming line;
    std::deque<TimedByte> inbound;   // on the line to the device, oldest first
    std::deque<TimedByte> outbound;  // on the line to the host, oldest first
    std::unique_ptr<ArmOperator> hand;  // a Corvane's, when it has one
  };

  double now_s() const;
  void serve_port(Station& station);
  // Hands bytes that reached the device to it, and sends its replies.
  void take_input(Station& station, const std::uint8_t* bytes, std::size_t n, double now_s);
  void send(Station& station, const char* name, Message message, double now_s);
  void release_due(Station& station, double now_s);
  void emit(Station& station, const Held& held, double now_s);
  // The bytes whose time on the line is over, each way.
  void release_line(Station& station, double now_s);
  // The next moment something is due, or nothing when nothing is.
  std::optional<double> next_due_s() const;
  bool stdin_closed();

  Options options;
  MessageLog log;
  FaultInjector faults;
  std::vector<std::unique_ptr<Station>> stations;
  int signal_fd = -1;
  bool watch_stdin;
  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

}  // namespace Orvex::Emulator
