#include <gtest/gtest.h>

#include "tests/extras/feedlane_fixture.h"
#include "tests/support/start_error.h"

namespace {

using feedlane_test::LaneHost;
using feedlane_test::PrinterSetup;

std::string start_error(const PrinterSetup& setup) {
  return testing_support::start_error<LaneHost>(setup);
}

// A slot section on pins of its own (`pin` 0 to 9), with or without its runout pin.
std::string section(const std::string& name, int pin = 0, bool with_runout = true) {
  const std::string n = std::to_string(pin);
  return "[" + name + "]\n" + (with_runout ? "runout_pin: ^!mcu_box1:PH" + n + "\n" : "") +
         "step_pin: mcu_box1:PJ" + n + "\ndir_pin: mcu_box1:PK" + n +
         "\nmicrosteps: 16\nrotation_distance: 22.67\nred_pin: mcu_box1:PL" + n + "\n";
}

TEST(FeedlaneConstruction, NamesNumbersAndLabelsFollowTheSection) {
  LaneHost lane_host;
  // Slot sections before [feedhub] load the controller themselves.
  lane_host.start({.slots = 4,
                   .extra = section("feedlane slot12", 6) + section("feedlane slot13", 7) +
                            section("feedlane slot14", 8) + section("feedlane slot15", 9)});
  auto& first = lane_host.lane(0);
  EXPECT_EQ(first.stepper_name(), "slot0");
  EXPECT_EQ(first.stepper_num(), 0);
  EXPECT_EQ(first.stepper_label(), "1A");
  EXPECT_EQ(lane_host.lane(3).stepper_label(), "1D");
  auto& last = lane_host.lane(15);
  EXPECT_EQ(last.stepper_num(), 15);
  EXPECT_EQ(last.stepper_label(), "4D");
  EXPECT_EQ(last.stepper().get_name(), "feedlane slot15");
  EXPECT_EQ(last.r_endstop().get_endstops().front().second, "slot15_runout");
  EXPECT_TRUE(first.slot_not_unload());
  EXPECT_FALSE(first.is_drying());
  EXPECT_DOUBLE_EQ(first.next_cmd_time(), 0.0);
}

TEST(FeedlaneConstruction, EverySlotMotorStopsOnTheSharedSensorsAndItsOwn) {
  LaneHost lane_host;
  lane_host.start();
  EXPECT_EQ(lane_host.hub().sensors().b_endstop().endstop().get_steppers().size(), 4u);
  EXPECT_EQ(lane_host.hub().sensors().e_endstop().endstop().get_steppers().size(), 4u);
  auto own = lane_host.lane(2).r_endstop().endstop().get_steppers();
  ASSERT_EQ(own.size(), 1u);
  EXPECT_EQ(own.front(), &lane_host.lane(2).stepper());
  auto lines = lane_host.command("QUERY_ENDSTOPS");
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("slot2_runout:"), std::string::npos) << lines.back();
}

TEST(FeedlaneConstruction, StatusReportsTheRunoutButtonAndTagReadState) {
  LaneHost lane_host;
  lane_host.start();
  auto status = lane_host.lane(1).get_status(lane_host.now());
  ASSERT_TRUE(status && status->is_dict());
  // The two keys every front end knows come first; the slot's picture follows them.
  ASSERT_GE(status->as_dict().size(), 2u);
  EXPECT_EQ(status->as_dict()[0].first, klippy::Value("runout_button"));
  EXPECT_EQ(status->as_dict()[1].first, klippy::Value("rfid_state"));
  EXPECT_EQ(*status->find("runout_button"), klippy::Value(0));
  EXPECT_EQ(*status->find("rfid_state"), klippy::Value(0));

  // The sensor goes empty: the button reports runout.
  lane_host.drive_pin(feedlane_test::runout_pin(1), 0);
  lane_host.host().advance(0.1);
  EXPECT_EQ(lane_host.lane(1).r_endstop_state(), 1);
  EXPECT_EQ(*lane_host.lane(1).get_status(lane_host.now())->find("runout_button"),
            klippy::Value(1));
  EXPECT_EQ(lane_host.lane(0).r_endstop_state(), 0);
}

TEST(FeedlaneConstruction, SectionsOutsideSlotZeroToFifteenFailStartUpNamingTheSection) {
  for (const std::string name : {"feedlane slot16", "feedlane slotx", "feedlane slot05",
                                 "feedlane box1", "feedlane slot-1"}) {
    std::string error = start_error({.slots = 1, .slot0_section = section(name)});
    EXPECT_NE(error.find("'" + name + "'"), std::string::npos) << name << ": " << error;
    EXPECT_NE(error.find("feedlane slot0"), std::string::npos) << error;
  }
}

// Refused at start as the host refuses them: sections it has no object for, and pins it
// cannot configure. A box without one of its slots is refused too, as it half-fails every
// load (the filament goes in, and then no feeder takes it over).
TEST(FeedlaneConstruction, StartRefusesWhatTheHostRefuses) {
  std::string slot0 = section("feedlane slot0");
  EXPECT_EQ(start_error({.slot0_section = "[feedlane]\n" + slot0.substr(slot0.find('\n') + 1)})
                .rfind("Section 'feedlane' is not a valid config section", 0),
            0u);

  const std::string error_of_missing = start_error({.slots = 3});
  EXPECT_EQ(error_of_missing.rfind("Box 1 lacks [feedlane slot3]: its [feedlane slot0], "
                                   "[feedlane slot1] and [feedlane slot2] are configured",
                                   0),
            0u)
      << error_of_missing;
  // "[ feedlane slot0 ]" is another section than "feedlane slot0" to the host.
  const std::string spaced =
      start_error({.slot0_section = "[ feedlane slot0 ]" + slot0.substr(slot0.find(']') + 1)});
  EXPECT_EQ(spaced.rfind("Box 1 lacks [feedlane slot0]", 0), 0u) << spaced;

  std::string shared = slot0;
  shared.replace(shared.find("PJ0"), 3, "PC1");
  const std::string error_of_shared = start_error({.slot0_section = shared});
  EXPECT_EQ(error_of_shared.rfind("pin PC1 used multiple times in config", 0), 0u)
      << error_of_shared;
  EXPECT_NE(error_of_shared.find("'feedlane slot1'"), std::string::npos) << error_of_shared;

  std::string huge = slot0;
  huge.replace(huge.find("PJ0"), 3, std::string(10000, 'A'));
  const std::string error_of_huge = start_error({.slot0_section = huge});
  EXPECT_EQ(error_of_huge.rfind("Unknown value 'AAAA", 0), 0u) << error_of_huge.substr(0, 200);
  EXPECT_NE(error_of_huge.find("in enumeration 'pin'"), std::string::npos);
  EXPECT_LT(error_of_huge.size(), 300u);
}

TEST(FeedlaneConstruction, ARunoutPinIsRequired) {
  std::string error =
      start_error({.slots = 1, .slot0_section = section("feedlane slot0", 0, false)});
  EXPECT_NE(error.find("runout_pin"), std::string::npos) << error;
  EXPECT_NE(error.find("feedlane slot0"), std::string::npos) << error;
}

TEST(FeedlaneConstruction, ASlotValueNamingNoConfiguredSlotListsTheConfiguredOnes) {
  LaneHost lane_host;
  lane_host.start();
  auto lines = lane_host.command("SLOT_UNLOAD SLOT=slot7");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "!! The value 'slot7' is not valid for SLOT (valid: 0, 1, 1A, 1B, 1C, 1D, 1a, 1b, 1c, "
            "1d, 2, 3, slot0, slot1, slot2, slot3)");
  lines = lane_host.command("SLOT_UNLOAD");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "!! Error on 'SLOT_UNLOAD': missing SLOT");
}

}  // namespace
