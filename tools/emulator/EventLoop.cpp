#include "EventLoop.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <system_error>

#include "CorvaneDevice.h"
#include "HandleDevice.h"
#include "Recording.h"

namespace Orvex::Emulator {

namespace {

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

std::unique_ptr<EmulatedDevice> make_device(const DeviceOptions& device) {
  if (device.kind == DeviceKind::corvane) {
    std::optional<CorvanePlayback> playback;
    if (device.replay) playback.emplace(read_recording(*device.replay));
    return std::make_unique<CorvaneDevice>(device.identity, std::move(playback), device.arm);
  }
  std::optional<HandlePlayback> playback;
  if (device.replay) playback.emplace(read_recording(*device.replay));
  return std::make_unique<HandleDevice>(device.identity.device_id, device.stream_hz,
                                        std::move(playback));
}

timespec to_timespec(double seconds) {
  const double whole = std::floor(seconds);
  return {static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
}

}  // namespace

EventLoop::EventLoop(const Options& options_)
    : options(options_),
      log(options.verbose),
      faults(options.faults, options.seed),
      watch_stdin(!options.ignore_stdin) {
  // Stop signals are taken as events in the loop, so the links are always removed on the way out.
  const sigset_t set = stop_signals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
  signal_fd = ::signalfd(-1, &set, SFD_CLOEXEC);
  if (signal_fd < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
  // A reader of our standard output that goes away must not kill the emulator.
  std::signal(SIGPIPE, SIG_IGN);

  for (const DeviceOptions& device : options.devices) {
    auto station = std::make_unique<Station>(LineTiming(options.baud, options.usb_frame_us));
    station->device = make_device(device);
    if (device.has_operator())
      station->hand = std::make_unique<ArmOperator>(
          device, static_cast<CorvaneDevice&>(*station->device).model(), now_s());
    station->label = std::string(kind_name(device.kind)) + " " + station->port.path();
    if (device.link) station->link.emplace(*device.link, station->port.path());
    std::printf("%s %s\n", kind_name(device.kind), station->port.path().c_str());
    std::fflush(stdout);
    if (options.verbose && station->link)
      std::fprintf(stderr, "%s: linked as %s\n", station->label.c_str(),
                   station->link->path().c_str());
    stations.push_back(std::move(station));
  }
}

EventLoop::~EventLoop() {
  if (signal_fd >= 0) ::close(signal_fd);
}

double EventLoop::now_s() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void EventLoop::run() {
  std::vector<pollfd> fds;
  for (;;) {
    const double now = now_s();
    for (auto& station : stations) {
      if (station->hand) station->hand->tick(now);
      release_line(*station, now);
      release_due(*station, now);
      while (auto message = station->device->unasked(now)) {
        const char* name = station->device->message_name((*message)[0], false);
        send(*station, name, std::move(*message), now);
      }
    }

    fds.clear();
    fds.push_back({signal_fd, POLLIN, 0});
    fds.push_back({watch_stdin ? STDIN_FILENO : -1, POLLIN, 0});
    for (const auto& station : stations)
      fds.push_back({station->port.descriptor(),
                     static_cast<short>(POLLIN | (station->port.has_output() ? POLLOUT : 0)), 0});
    for (const auto& station : stations)
      if (station->hand) station->hand->watch(fds);

    const std::optional<double> due = next_due_s();
    const timespec wait = to_timespec(due ? std::max(0.0, *due - now_s()) : 0);
    if (::ppoll(fds.data(), fds.size(), due ? &wait : nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "ppoll");
    }

    if (fds[0].revents) return;
    if (fds[1].revents && stdin_closed()) return;
    for (std::size_t i = 0; i < stations.size(); ++i) {
      const short events = fds[2 + i].revents;
      if (events & POLLOUT) stations[i]->port.flush();
      if (events & POLLIN) serve_port(*stations[i]);
    }
    std::size_t at = 2 + stations.size();
    for (auto& station : stations) {
      if (!station->hand) continue;
      const std::size_t watched = station->hand->watched();
      station->hand->serve(&fds[at], now_s());
      at += watched;
    }
  }
}

void EventLoop::serve_port(Station& station) {
  std::uint8_t chunk[512];
  while (const std::size_t n = station.port.read(chunk, sizeof chunk)) {
    const double now = now_s();
    if (station.line.instant()) {
      take_input(station, chunk, n, now);
      continue;
    }
    for (std::size_t i = 0; i < n; ++i)
      station.inbound.push_back({station.line.to_device(now), chunk[i]});
  }
}

void EventLoop::take_input(Station& station, const std::uint8_t* bytes, std::size_t n,
                           double now) {
  if (station.hand) {
    // The arm reaches now through the hand's milliseconds before a command moves it further.
    station.hand->tick(now);
    station.hand->host_started(now);
  }
  for (Exchange& exchange : station.device->receive(bytes, n, now)) {
    log.incoming(station.label, exchange.name, exchange.command);
    if (exchange.reply) {
      const char* name = station.device->message_name((*exchange.reply)[0], false);
      send(station, name, std::move(*exchange.reply), now);
    }
  }
}

void EventLoop::release_line(Station& station, double now) {
  Message arrived;
  while (!station.inbound.empty() && station.inbound.front().due_s <= now) {
    arrived.push_back(station.inbound.front().byte);
    station.inbound.pop_front();
  }
  if (!arrived.empty()) take_input(station, arrived.data(), arrived.size(), now);

  Message delivered;
  while (!station.outbound.empty() && station.outbound.front().due_s <= now) {
    delivered.push_back(station.outbound.front().byte);
    station.outbound.pop_front();
  }
  if (!delivered.empty() && !station.port.send(delivered))
    log.outgoing(station.label, "bytes", delivered, "not sent: the host is not reading");
}

void EventLoop::send(Station& station, const char* name, Message message, double now) {
  std::string fault = faults.apply(message);
  if (message.empty()) {
    log.outgoing(station.label, name, message, fault);
    return;
  }
  station.held.push_back(
      {now + options.latency_us * 1e-6, name, std::move(message), std::move(fault)});
  release_due(station, now);
}

void EventLoop::release_due(Station& station, double now) {
  while (!station.held.empty() && station.held.front().due_s <= now) {
    emit(station, station.held.front(), now);
    station.held.pop_front();
  }
}

void EventLoop::emit(Station& station, const Held& held, double now) {
  if (!station.line.instant()) {
    for (const std::uint8_t byte : held.message)
      station.outbound.push_back({station.line.to_host(now), byte});
    log.outgoing(station.label, held.name, held.message, held.fault);
    release_line(station, now);
    return;
  }
  if (station.port.send(held.message)) {
    log.outgoing(station.label, held.name, held.message, held.fault);
  } else {
    log.outgoing(station.label, held.name, held.message, "not sent: the host is not reading");
  }
}

std::optional<double> EventLoop::next_due_s() const {
  std::optional<double> due;
  const auto consider = [&due](std::optional<double> t) {
    if (t && (!due || *t < *due)) due = t;
  };
  for (const auto& station : stations) {
    if (!station->held.empty()) consider(station->held.front().due_s);
    if (!station->inbound.empty()) consider(station->inbound.front().due_s);
    if (!station->outbound.empty()) consider(station->outbound.front().due_s);
    consider(station->device->next_unasked_s());
    if (station->hand) consider(station->hand->next_tick_s());
  }
  return due;
}

bool EventLoop::stdin_closed() {
  char scratch[256];
  const ssize_t n = ::read(STDIN_FILENO, scratch, sizeof scratch);
  if (n > 0) return false;  // what is typed is not for us; only the end counts
  return n == 0 || (errno != EAGAIN && errno != EINTR);
}

}  // namespace Orvex::Emulator
