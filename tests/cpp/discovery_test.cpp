#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CapturedFd.h"
#include "Interpose.h"
#include "PortScan.h"
#include "PtyPair.h"
#include "Responder.h"
#include "Timing.h"

namespace {

namespace fs = std::filesystem;
using namespace Orvex::Testing;
using namespace Orvex::HardwareAPI;
using namespace std::chrono_literals;

// A folder standing in for /dev, removed with everything in it.
class DeviceFolder {
 public:
  DeviceFolder() {
    char name[] = "/tmp/orvex-dev-XXXXXX";
    folder = ::mkdtemp(name);
  }
  ~DeviceFolder() { fs::remove_all(folder); }
  const fs::path& path() const { return folder; }

  // An entry named name that links to the pty, as a udev rule would make one.
  void link(const std::string& name, const PtyPair& pty) const {
    fs::create_symlink(pty.path(), folder / name);
  }
  void plain_file(const std::string& name) const { std::ofstream(folder / name) << ""; }
  void dangling(const std::string& name) const {
    fs::create_symlink(folder / "orvex-nowhere", folder / name);
  }

  // The entries in the order the directory yields them.
  std::vector<std::string> listing_order() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
      names.push_back(entry.path().filename());
    return names;
  }

 private:
  fs::path folder;
};

Bytes corvane_info(std::uint8_t model, std::size_t body_size = 21) {
  Bytes reply{11, 0x2C, 0x01, model, 2, 7};
  reply.resize(1 + body_size, 0xA5);
  return reply;
}

const Bytes wakeup{10};

TEST(PortListing, NamesDecideKindsInListingOrder) {
  DeviceFolder dev;
  PtyPair pty;
  dev.plain_file("ttyACM0");
  dev.plain_file("ttyUSB0");
  dev.plain_file("rfcomm0");
  dev.plain_file("xttyUSB1");
  dev.plain_file("ttyS0");
  dev.plain_file("ttyACMrfcomm");  // the first word found decides
  dev.link("ttyUSB7", pty);

  const auto candidates = Discovery::list_candidate_ports_in(dev.path());
  std::vector<std::string> expected_order;
  for (const auto& name : dev.listing_order())
    if (name != "ttyS0") expected_order.push_back(name);
  ASSERT_EQ(candidates.size(), expected_order.size());
  const std::map<std::string, PortKind> kinds = {
      {"ttyACM0", PortKind::Acm},  {"ttyUSB0", PortKind::Usb},      {"rfcomm0", PortKind::Rfcomm},
      {"xttyUSB1", PortKind::Usb}, {"ttyACMrfcomm", PortKind::Acm}, {"ttyUSB7", PortKind::Usb}};
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const std::string& name = expected_order[i];
    EXPECT_EQ(candidates[i].kind, kinds.at(name)) << name;
    const std::string expected_path = name == "ttyUSB7" ? fs::canonical(pty.path()).string()
                                                        : fs::canonical(dev.path() / name).string();
    EXPECT_EQ(candidates[i].path, expected_path);
  }
}

TEST(PortListing, TwoLinksToOnePortGiveTwoCandidates) {
  DeviceFolder dev;
  PtyPair pty;
  dev.link("ttyACM0", pty);
  dev.link("ttyACM1", pty);
  const auto candidates = Discovery::list_candidate_ports_in(dev.path());
  ASSERT_EQ(candidates.size(), 2u);
  EXPECT_EQ(candidates[0].path, candidates[1].path);
}

TEST(PortListing, DanglingLinkEndsTheScan) {
  DeviceFolder dev;
  dev.plain_file("ttyACM0");
  dev.dangling("rfcomm3");
  EXPECT_THROW(Discovery::list_candidate_ports_in(dev.path()), fs::filesystem_error);
  // Even a scan that would not probe that kind lists it first.
  EXPECT_THROW(Discovery::detect_in(dev.path(), {PortKind::Acm}, probe_corvane, 3s),
               fs::filesystem_error);
}

TEST(PortListing, MissingFolderListsNothing) {
  EXPECT_TRUE(Discovery::list_candidate_ports_in("/tmp/orvex-no-such-folder").empty());
}

TEST(CorvaneDiscovery, FindsOnlyModelFourAnsweringInFullOnAcmPorts) {
  DeviceFolder dev;
  PtyPair arm, older, cut_short, silent, on_usb;
  dev.link("ttyACM0", arm);
  dev.link("ttyACM1", older);
  dev.link("ttyACM2", cut_short);
  dev.link("ttyACM3", silent);
  dev.link("ttyUSB0", on_usb);
  Responder answers(arm, wakeup, corvane_info(4));
  Responder wrong_model(older, wakeup, corvane_info(3));
  Responder short_body(cut_short, wakeup, corvane_info(4, 20));

  std::vector<std::string> found;
  const auto ms = elapsed_ms([&] {
    found =
        Discovery::detect_in(dev.path(), {PortKind::Acm}, probe_corvane, Discovery::corvane_limit);
  });
  EXPECT_EQ(found, std::vector<std::string>{fs::canonical(arm.path()).string()});
  // The cut-off reply and the silent port each cost one read limit.
  EXPECT_GE(ms, 2 * read_limit_low_ms);
  EXPECT_LE(ms, 2 * read_limit_high_ms + 500);
  EXPECT_EQ(silent.drain(), wakeup);   // probed, but never answered
  EXPECT_EQ(on_usb.drain(), Bytes{});  // never probed
}

TEST(CorvaneDiscovery, ProbeClosesItsPort) {
  PtyPair arm;
  Responder answers(arm, wakeup, corvane_info(4));
  reset_calls();
  EXPECT_EQ(probe_corvane(arm.path().c_str()), 1);
  EXPECT_EQ(calls(SysCall::open), calls(SysCall::close));
}

TEST(CorvaneDiscovery, UnopenablePortIsNotProbed) {
  reset_calls();
  EXPECT_EQ(probe_corvane("/tmp/orvex-no-such-port"), 0);
  EXPECT_EQ(calls(SysCall::write) + calls(SysCall::read), 0u);
}

TEST(ScanTiming, CandidatesThatAreNoTerminalsAreNeitherWrittenNorWaitedFor) {
  DeviceFolder dev;
  dev.plain_file("ttyACM0");
  dev.plain_file("rfcomm0");
  reset_calls();
  const auto ms = elapsed_ms([&] {
    EXPECT_TRUE(
        Discovery::detect_in(dev.path(), {PortKind::Acm}, probe_corvane, Discovery::corvane_limit)
            .empty());
    EXPECT_TRUE(Discovery::detect_in(dev.path(), {PortKind::Rfcomm}, probe_handle,
                                     Discovery::handle_limit)
                    .empty());
  });
  EXPECT_LT(ms, at_once_ms);
  EXPECT_EQ(calls(SysCall::write) + calls(SysCall::read), 0u);
  EXPECT_EQ(fs::file_size(dev.path() / "ttyACM0"), 0u);
  EXPECT_EQ(fs::file_size(dev.path() / "rfcomm0"), 0u);
}

TEST(HandleDiscovery, InformationOrStatusCountsAndAnErrorReplyDoesNot) {
  DeviceFolder dev;
  PtyPair wired, wireless, refusing, on_acm;
  dev.link("ttyUSB0", wired);
  dev.link("rfcomm0", wireless);
  dev.link("ttyUSB1", refusing);
  dev.link("ttyACM0", on_acm);
  Responder info(wired, wakeup, {208, 3, 0x2C, 0x01, 9, 1, 2});
  Bytes status{218, 0x2C, 0x01};
  status.resize(1 + 21, 0);
  status.back() = 2;  // two bytes of user data follow
  status.insert(status.end(), {0xAA, 0xBB});
  Responder streaming(wireless, wakeup, status);
  Responder error(refusing, wakeup, {223, 0x2C, 0x01, 5});

  const auto found = Discovery::detect_in(dev.path(), {PortKind::Usb, PortKind::Rfcomm},
                                          probe_handle, Discovery::handle_limit);
  std::vector<std::string> expected;
  for (const auto& name : dev.listing_order()) {
    if (name == "ttyUSB0") expected.push_back(fs::canonical(wired.path()).string());
    if (name == "rfcomm0") expected.push_back(fs::canonical(wireless.path()).string());
  }
  EXPECT_EQ(found, expected);
  // Read once its thread is joined: before, it may still be writing it.
  error.wait();
  EXPECT_TRUE(error.heard_request());
  EXPECT_EQ(on_acm.drain(), Bytes{});
}

TEST(ScanTiming, NoCandidatesReturnAtOnce) {
  DeviceFolder dev;
  dev.plain_file("ttyS0");
  // Only opens of the port count, by whichever path: reading the folder opens the folder.
  std::vector<std::string> opened;
  ScopedHooks hooks({.open = [&](const char* path, int) -> std::optional<int> {
    if (fs::path(path).filename() == "ttyS0") opened.push_back(path);
    return std::nullopt;
  }});
  const auto ms = elapsed_ms([&] {
    EXPECT_TRUE(Discovery::detect_in(dev.path(), {PortKind::Acm}, probe_corvane, 3s).empty());
  });
  EXPECT_LT(ms, at_once_ms);
  EXPECT_EQ(opened, std::vector<std::string>{});
}

TEST(ScanTiming, LateProbeIsNotListedButIsWaitedFor) {
  DeviceFolder dev;
  PtyPair arm;
  dev.link("ttyACM0", arm);
  Responder answers(arm, wakeup, corvane_info(4));
  const std::string slow_path = fs::canonical(arm.path()).string();
  // Opening the port takes longer than the verdict may.
  ScopedHooks hooks({.open = [&](const char* path, int) -> std::optional<int> {
    if (slow_path == path) std::this_thread::sleep_for(1500ms);
    return std::nullopt;
  }});
  std::vector<std::string> found{"unset"};
  const auto ms = elapsed_ms(
      [&] { found = Discovery::detect_in(dev.path(), {PortKind::Acm}, probe_corvane, 1s); });
  EXPECT_TRUE(found.empty());
  EXPECT_GE(ms, 1450);  // returned only after the late probe ended
  answers.wait();
  EXPECT_TRUE(answers.heard_request());  // the late probe still did its exchange
}

int throwing_probe(const char*) {
  throw std::runtime_error("probe broke");
}

int late_throwing_probe(const char*) {
  std::this_thread::sleep_for(300ms);
  throw std::runtime_error("late probe broke");
}

TEST(ScanTiming, ExceptionsInTimeArePrintedAndLateOnesLeaveTheScan) {
  CapturedFd err(2);
  EXPECT_FALSE(Discovery::verdict_within(throwing_probe, "/dev/null", 1s));
  EXPECT_EQ(err.text(), "probe broke\n");
  EXPECT_THROW(
      {
        try {
          Discovery::verdict_within(late_throwing_probe, "/dev/null", std::chrono::seconds(0));
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "late probe broke");
          throw;
        }
      },
      std::runtime_error);
}

}  // namespace
