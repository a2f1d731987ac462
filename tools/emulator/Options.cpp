#include "Options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace Orvex::Emulator {

namespace {

// Where the devices' identities start when none is given; each device adds its index.
constexpr std::uint16_t first_device_id = 1;
constexpr std::array<std::uint8_t, 16> default_uuid{'O', 'R', 'V', 'X', '-', 'E', 'M', 'U',
                                                    0,   0,   0,   0,   0,   0,   0,   0};
constexpr double max_stream_hz = 10000;
constexpr std::uint32_t max_latency_us = 10'000'000;
constexpr std::uint64_t min_baud = 50, max_baud = 10'000'000;
constexpr std::uint64_t max_usb_frame_us = 100'000;

std::uint64_t to_unsigned(const std::string& option, const std::string& text, std::uint64_t max,
                          std::uint64_t min = 0) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' ||
      errno == ERANGE || value > max || value < min)
    throw UsageError(option + " wants a whole number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", not '" + text + "'");
  return value;
}

double to_number(const std::string& option, const std::string& text, double low, double high) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value < low || value > high)
    throw UsageError(option + " wants a number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not '" + text + "'");
  return value;
}

std::array<std::uint8_t, 16> to_uuid(const std::string& text) {
  std::string hex;
  for (const char c : text)
    if (c != '-') hex += c;
  std::array<std::uint8_t, 16> uuid{};
  bool good = hex.size() == 32;
  for (std::size_t i = 0; good && i < 16; ++i) {
    const std::string pair = hex.substr(2 * i, 2);
    good = std::isxdigit(static_cast<unsigned char>(pair[0])) &&
           std::isxdigit(static_cast<unsigned char>(pair[1]));
    if (good) uuid[i] = static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16));
  }
  if (!good)
    throw UsageError("--uuid wants 32 hexadecimal digits (dashes allowed), not '" + text + "'");
  return uuid;
}

DeviceOptions new_device(DeviceKind kind, std::size_t index) {
  DeviceOptions device;
  device.kind = kind;
  device.identity.device_id = static_cast<std::uint16_t>(first_device_id + index);
  device.identity.uuid = default_uuid;
  device.identity.uuid[15] = static_cast<std::uint8_t>(index + 1);
  return device;
}

// Reads the arguments one by one, each option taking its value from the next argument or
// from after an '='.
class Parser {
 public:
  explicit Parser(const std::vector<std::string>& arguments) : arguments(arguments) {}

  Options run() {
    while (at < arguments.size()) take(arguments[at++]);
    if (!options.help && options.devices.empty())
      throw UsageError("name at least one device: --corvane or --handle");
    for (const DeviceOptions& device : options.devices) {
      if (device.replay && device.stream_hz > 0)
        throw UsageError("--stream and --replay: a replayed handle sends what was recorded");
      if (device.hand_loop && !device.hand)
        throw UsageError("--hand-loop repeats a --hand script: name one");
      if (device.hand && device.control)
        throw UsageError("--hand and --control: the hand follows a script or the socket, not both");
      if (device.replay && (device.hand || device.control))
        throw UsageError("--replay and a hand: a replayed arm moves as recorded");
    }
    return options;
  }

 private:
  void take(std::string option) {
    inline_value.reset();
    if (const auto eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_value = option.substr(eq + 1);
      option.resize(eq);
    }
    if (option == "-h" || option == "--help") {
      options.help = true;
    } else if (option == "--corvane" || option == "--handle") {
      const DeviceKind kind = option == "--corvane" ? DeviceKind::corvane : DeviceKind::handle;
      options.devices.push_back(new_device(kind, options.devices.size()));
    } else if (option == "--link") {
      DeviceOptions& device = last_device(option);
      if (device.link) throw UsageError("a device takes one --link");
      device.link = value(option);
    } else if (option == "--uuid") {
      DeviceOptions& device = last_device(option);
      if (device.kind != DeviceKind::corvane)
        throw UsageError("--uuid is for a Corvane: a handle reports none");
      device.identity.uuid = to_uuid(value(option));
    } else if (option == "--device-id") {
      last_device(option).identity.device_id =
          static_cast<std::uint16_t>(to_unsigned(option, value(option), 0xFFFF));
    } else if (option == "--stream") {
      DeviceOptions& device = last_device(option);
      if (device.kind != DeviceKind::handle) throw UsageError("--stream is for a handle");
      device.stream_hz = to_number(option, value(option), 0, max_stream_hz);
    } else if (option == "--replay") {
      DeviceOptions& device = last_device(option);
      if (device.replay) throw UsageError("a device takes one --replay");
      device.replay = value(option);
      if (device.replay->empty()) throw UsageError("--replay wants the path of a recording");
    } else if (option == "--mass") {
      corvane(option).arm.mass_kg = to_number(option, value(option), 0.1, 10);
    } else if (option == "--damping") {
      corvane(option).arm.damping_ns_per_m = to_number(option, value(option), 0, 50);
    } else if (option == "--max-force") {
      corvane(option).arm.max_force_n = to_number(option, value(option), 0.1, 100);
    } else if (option == "--workspace") {
      corvane(option).arm.workspace_m = to_number(option, value(option), 0.01, 1);
    } else if (option == "--hand") {
      once(corvane(option).hand, option);
    } else if (option == "--hand-loop") {
      corvane(option).hand_loop = true;
    } else if (option == "--control") {
      once(corvane(option).control, option);
    } else if (option == "--truth") {
      once(corvane(option).truth, option);
    } else if (option == "--baud") {
      options.baud =
          static_cast<std::uint32_t>(to_unsigned(option, value(option), max_baud, min_baud));
    } else if (option == "--usb-frame-us") {
      options.usb_frame_us =
          static_cast<std::uint32_t>(to_unsigned(option, value(option), max_usb_frame_us, 1));
    } else if (option == "--seed") {
      options.seed = to_unsigned(option, value(option), UINT64_MAX);
    } else if (option == "--latency-us") {
      options.latency_us =
          static_cast<std::uint32_t>(to_unsigned(option, value(option), max_latency_us));
    } else if (option == "--drop") {
      options.faults.drop = to_number(option, value(option), 0, 1);
    } else if (option == "--truncate") {
      options.faults.truncate = to_number(option, value(option), 0, 1);
    } else if (option == "--garble") {
      options.faults.garble = to_number(option, value(option), 0, 1);
    } else if (option == "-v" || option == "--verbose") {
      options.verbose = true;
    } else if (option == "--ignore-stdin") {
      options.ignore_stdin = true;
    } else if (option == "--realtime") {
      options.realtime = true;
    } else {
      throw UsageError("unknown option '" + option + "'");
    }
    if (inline_value) throw UsageError(option + " takes no value");
  }

  std::string value(const std::string& option) {
    if (inline_value) return *std::exchange(inline_value, std::nullopt);
    if (at >= arguments.size()) throw UsageError(option + " wants a value");
    return arguments[at++];
  }

  DeviceOptions& corvane(const std::string& option) {
    DeviceOptions& device = last_device(option);
    if (device.kind != DeviceKind::corvane) throw UsageError(option + " is for a Corvane");
    return device;
  }

  // A path option a device takes once.
  void once(std::optional<std::string>& path, const std::string& option) {
    if (path) throw UsageError("a device takes one " + option);
    path = value(option);
    if (path->empty()) throw UsageError(option + " wants a path");
  }

  DeviceOptions& last_device(const std::string& option) {
    if (options.devices.empty())
      throw UsageError(option +
                       " configures the device before it: put it after --corvane or --handle");
    return options.devices.back();
  }

  const std::vector<std::string>& arguments;
  std::size_t at = 0;
  std::optional<std::string> inline_value;
  Options options;
};

}  // namespace

Options parse_options(const std::vector<std::string>& arguments) {
  return Parser(arguments).run();
}

std::string usage_text() {
  return R"(usage: orvex-emulator [options] DEVICE [device options] [DEVICE [device options]...]

Stands in for Corvane arms and handles on pseudo-terminals. For each device, in order, prints one
line "corvane PATH" or "handle PATH" on standard output; everything else goes to standard error.
Runs until SIGINT, SIGTERM or SIGHUP, or until standard input closes.

Devices:
  --corvane            a three-joint arm (device information model 4)
  --handle             a hand-held grip

Device options, for the device named last before them:
  --link PATH          a symbolic link to its pseudo-terminal, removed on exit
  --device-id N        the device id it reports (default: 1 for the first device, 2 for the next...)
  --uuid HEX           a Corvane's UUID, 32 hexadecimal digits, dashes allowed
  --stream HZ          a handle sends status messages unasked HZ times a second, from the
                       first command the host sends on (default 0: only when asked)

  --replay FILE        answer from a recording (.csv or .npy) instead of the model: a Corvane
                       answers force and position commands with the recorded position and
                       velocity at the recorded time since the first of them (interpolated);
                       a handle sends the recorded messages at their recorded times since the
                       first command

A Corvane's own figures, for the Corvane named last before them:
  --mass KG            the end effector's moving mass, 0.1 to 10 (default 0.5)
  --damping NS_PER_M   its viscous friction, 0 to 50 (default 4)
  --max-force N        the motors saturate here on each axis, 0.1 to 100 (default 10)
  --workspace M        the half-width of the cube its end stops enclose, 0.01 to 1 (default 0.1);
                       the end stops are stiff walls

An operator's hand on the Corvane named last before these options: a spring-damper (by default a relaxed grip, 300 N/m and
8 N s/m) pulling the end effector towards a target, plus a push. Its force moves the arm beside
the commanded force and never goes on the wire.
  --hand FILE          a scripted hand: CSV with a header naming its columns among time (s),
                       x, y, z (the target, m), fx, fy, fz (the push, N), stiffness (N/m) and
                       damping (N s/m); only time is needed; rows are interpolated, and time runs
                       from the first command the host sends
  --hand-loop          the script starts over when it ends
  --control PATH       a Unix socket taking JSON lines that move the hand, push, let go, set its
                       impedance and read the ground truth (see the emulator's documentation)
  --truth FILE         the ground truth as CSV, a row each millisecond: time, x, y, z, vx, vy, vz,
                       hand_fx, hand_fy, hand_fz (the hand's whole force), fx, fy, fz (the
                       commanded force as applied)

Line timing, both ways on every device's line:
  --baud N             each byte takes its time on a serial line of N baud (10 bits a byte),
                       in order after the bytes before it
  --usb-frame-us N     the device's bytes reach the host only at USB frame boundaries every N
                       microseconds (1000 for full speed)

Faults, on every message to the host:
  --latency-us N       hold each message back N microseconds (default 0)
  --drop P             chance from 0 to 1 that a message is never sent
  --truncate P         chance that only its first bytes are sent (at least the header code)
  --garble P           chance that one bit of one of its bytes is flipped
  --seed N             seed of the fault draws, so a run can be repeated (default 1)

Other:
  -v, --verbose        print each message in and out on standard error
  --ignore-stdin       keep running when standard input closes (for a background job)
  --realtime           answer from the real-time scheduling class where the system allows it,
                       as a device answers whatever else the host runs (else as before, with a
                       warning)
  -h, --help           print this text
)";
}

}  // namespace Orvex::Emulator
