#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "CorvaneModel.h"
#include "HandControl.h"
#include "HandFigures.h"
#include "HandScript.h"
#include "ParamNames.h"

namespace {

using namespace Orvex::Emulator;
using Orvex::Testing::ByName;

void run(CorvaneModel& arm, double from_s, double to_s) {
  for (double t = from_s; t <= to_s + 1e-9; t += 0.001) arm.advance_to(t);
}

TEST(Hand, AGripPullsTheArmToItsTargetWhileTheMotorsGiveNothing) {
  CorvaneModel arm;
  arm.advance_to(0);
  arm.apply_force({0, 0, 0});
  arm.hand() = Grip{Vector3{0.03, -0.02, 0.01}, {}, HandFigures::relaxed_stiffness,
                    HandFigures::relaxed_damping};
  run(arm, 0, 2);
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_NEAR(arm.end_effector().position()[i], (*arm.hand().anchor)[i], 1e-5) << i;
  EXPECT_EQ(arm.end_effector().effort(), (Vector3{0, 0, 0}));
}

TEST(Hand, APushAgainstTheCommandedForceRestsWhereTheyBalance) {
  // The hand is felt beside the motors, not through them: 3 N of motor against a 5 N push and a
  // 300 N/m grip anchored at the origin rest (5 - 3) / 300 m out.
  CorvaneModel arm;
  arm.advance_to(0);
  arm.apply_force({-3, 0, 0});
  arm.hand() = Grip{Vector3{0, 0, 0}, {5, 0, 0}, 300, 8};
  run(arm, 0, 3);
  EXPECT_NEAR(arm.end_effector().position()[0], 2.0 / 300, 1e-5);
  EXPECT_NEAR(arm.hand_force()[0], 3.0, 1e-3);
}

struct Figures {
  const char* name;
  ArmFigures arm;
};

class StiffHandOnAnEndStop : public ::testing::TestWithParam<Figures> {};

TEST_P(StiffHandOnAnEndStop, TheWallHoldsItWithoutRinging) {
  // The firmest grip allowed 2 cm beyond the stop and the hardest push, 200 N, on the lightest
  // and heaviest arms: the wall gives 2 mm.
  CorvaneModel arm(GetParam().arm);
  arm.advance_to(0);
  const double wall = GetParam().arm.workspace_m;
  arm.hand() = Grip{Vector3{wall + 0.02, 0, 0}, {HandFigures::max_push, 0, 0},
                    HandFigures::max_stiffness, HandFigures::max_damping};
  run(arm, 0, 4);
  EXPECT_NEAR(arm.end_effector().position()[0], wall + 200 / (1e5 + 5000), 1e-4);
  EXPECT_LT(std::abs(arm.end_effector().velocity()[0]), 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Arms, StiffHandOnAnEndStop,
                         ::testing::Values(Figures{"light", {0.1, 0, 10, 0.1}},
                                           Figures{"heavy", {10, 50, 100, 0.5}}),
                         ByName());

std::string write_script(const std::string& name, const std::string& text) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << text;
  return path;
}

TEST(HandScript, RowsAreInterpolatedAndColumnsLeftOutKeepTheirDefaults) {
  const HandScript script = HandScript::read(
      write_script("interpolated.csv", "time, x,y,z,fz\n0,0,0,0,0\n1,0.1,-0.1,0,2\n"), false);
  const Grip half = script.at(0.5);
  ASSERT_TRUE(half.anchor);
  EXPECT_NEAR((*half.anchor)[0], 0.05, 1e-12);
  EXPECT_NEAR((*half.anchor)[1], -0.05, 1e-12);
  EXPECT_NEAR(half.push[2], 1.0, 1e-12);
  EXPECT_EQ(half.stiffness, HandFigures::relaxed_stiffness);
  EXPECT_EQ(half.damping, HandFigures::relaxed_damping);
  EXPECT_NEAR((*script.at(7).anchor)[0], 0.1, 1e-12);  // the last row stays

  const HandScript looped = HandScript::read(
      write_script("looped.csv", "time,fx\n0,0\n2,4\n"), true);
  EXPECT_FALSE(looped.at(0).anchor);  // no target: a push only
  EXPECT_NEAR(looped.at(3).push[0], 2.0, 1e-12);
}

struct BadScript {
  const char* name;
  const char* text;
  const char* said;
};

class BadScripts : public ::testing::TestWithParam<BadScript> {};

TEST_P(BadScripts, AreRefusedNamingTheRowAndColumn) {
  const std::string path = write_script(std::string(GetParam().name) + ".csv", GetParam().text);
  try {
    HandScript::read(path, false);
    FAIL() << "accepted";
  } catch (const HandFigures::HandError& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(GetParam().said), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, BadScripts,
    ::testing::Values(BadScript{"empty", "", "empty"},
                      BadScript{"no_time", "x,y,z\n0,0,0\n", "no column 'time'"},
                      BadScript{"unknown", "time,fw\n0,1\n", "unknown column 'fw'"},
                      BadScript{"half_target", "time,x,y\n0,0,0\n", "x, y and z"},
                      BadScript{"word", "time,fx\n0,1\n1,lots\n", "row 3, column fx"},
                      BadScript{"short", "time,fx\n0\n", "row 2 has 1 values"},
                      BadScript{"back", "time,fx\n1,0\n0.5,0\n", "row 3, column time"},
                      BadScript{"soft", "time,stiffness\n0,-5\n", "row 2, column stiffness"},
                      BadScript{"far", "time,x,y,z\n0,0,0,9\n", "row 2, column z"},
                      BadScript{"rows", "time,fx\n", "no rows"}),
    ByName());

TEST(HandControl, RequestsMoveTheHandAndEveryReplyIsTheTruth) {
  CorvaneModel arm;
  arm.advance_to(0);
  std::string reply = answer_control(
      R"({"move_to": [0.01, 0, -0.02], "push": [0, 1.5, 0], "stiffness": 400})", arm, 0);
  EXPECT_EQ(reply.rfind("{\"time\": 0.000000, \"position\": [0, 0, 0]", 0), 0u) << reply;
  EXPECT_NE(reply.find("\"hand_force\": [4, 1.5, -8]"), std::string::npos) << reply;
  EXPECT_NE(reply.find("\"holding\": true"), std::string::npos) << reply;

  reply = answer_control(R"({"release": true})", arm, 0.5);
  EXPECT_NE(reply.find("\"hand_force\": [0, 0, 0]"), std::string::npos) << reply;
  EXPECT_NE(reply.find("\"holding\": false"), std::string::npos) << reply;
  EXPECT_EQ(arm.hand().stiffness, 400);  // the impedance stays for the next hold
}

struct BadRequest {
  const char* name;
  const char* line;
  const char* said;
};

class BadRequests : public ::testing::TestWithParam<BadRequest> {};

TEST_P(BadRequests, AreAnsweredWithAnErrorNamingTheFieldAndChangeNothing) {
  CorvaneModel arm;
  arm.hand().push = {1, 2, 3};
  const std::string reply = answer_control(GetParam().line, arm, 0);
  EXPECT_EQ(reply.rfind("{\"error\": \"", 0), 0u) << reply;
  EXPECT_NE(reply.find(GetParam().said), std::string::npos) << reply;
  EXPECT_EQ(arm.hand().push, (Vector3{1, 2, 3}));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BadRequests,
    ::testing::Values(BadRequest{"not_json", "move there", "not a flat JSON object"},
                      BadRequest{"unknown", R"({"shove": [1, 2, 3]})", "unknown field 'shove'"},
                      BadRequest{"two_numbers", R"({"push": [1, 2]})", "field 'push'"},
                      BadRequest{"too_far", R"({"move_to": [0, 2, 0]})", "field 'move_to': y"},
                      BadRequest{"too_hard", R"({"push": [0, 0, 101]})", "fz"},
                      BadRequest{"negative", R"({"damping": -1})", "damping wants"},
                      BadRequest{"word", R"({"stiffness": "firm"})", "field 'stiffness'"},
                      BadRequest{"flag", R"({"release": 1})", "field 'release'"},
                      BadRequest{"twice", R"({"push": [0,0,0], "push": [1,1,1]})", "twice"},
                      BadRequest{"trailing", R"({"truth": true} x)", "nothing after it"}),
    ByName());

}  // namespace
