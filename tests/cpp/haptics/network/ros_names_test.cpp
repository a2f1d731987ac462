#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "Haptics/Network/RosNames.h"
#include "Haptics/RosEndpoint.h"

namespace Orvex::HardwareAPI::Haptics {
namespace {

struct NameCase {
  std::string name;
  std::string problem;  // a part of it; empty: valid
};

// Names the case by its name (shortened), so that test runners list it the same on every run.
void PrintTo(const NameCase& c, std::ostream* out) { *out << '"' << c.name.substr(0, 16) << '"'; }

class RosNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(RosNameTest, ProblemNamesTheRuleBroken) {
  const std::string problem = RosNames::problem(GetParam().name, "namespace");
  if (GetParam().problem.empty())
    EXPECT_EQ(problem, "");
  else
    EXPECT_NE(problem.find(GetParam().problem), std::string::npos) << problem;
}

INSTANTIATE_TEST_SUITE_P(
    Names, RosNameTest,
    ::testing::Values(NameCase{"/", ""}, NameCase{"/arm1", ""}, NameCase{"/lab/arm_1", ""},
                      NameCase{"", "must start with /"}, NameCase{"arm1", "must start with /"},
                      NameCase{"/arm-1", "only letters"}, NameCase{"/arm 1", "only letters"},
                      NameCase{"/arm1/", "must not end with /"},
                      NameCase{"/lab//arm", "empty token"},
                      NameCase{"/lab/1arm", "starts with a digit"},
                      NameCase{"/" + std::string(247, 'a'), "longer than 247"}));

TEST(RosTopic, PrefixesRtToTheFullyQualifiedName) {
  EXPECT_EQ(RosNames::topic("/lab/arm1", "pose"), "rt/lab/arm1/pose");
  EXPECT_EQ(RosNames::topic("/", "imu"), "rt/imu");
}

TEST(RosEndpoint, RefusesDomainsBeyondRosAndAnEmptyFrame) {
  RosEndpoint endpoint;
  EXPECT_EQ(endpoint.problem(), "");
  endpoint.domain = 233;
  EXPECT_EQ(endpoint.problem(), "domain must be at most 232");
  endpoint.domain = 0;
  endpoint.frame_id.clear();
  EXPECT_EQ(endpoint.problem(), "frame_id must not be empty");
}

}  // namespace
}  // namespace Orvex::HardwareAPI::Haptics
