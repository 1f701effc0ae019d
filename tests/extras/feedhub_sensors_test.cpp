#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/extras/feedhub_fixture.h"
#include "tests/support/start_error.h"

namespace {

using feedhub_test::BoxHost;
using feedhub_test::kBEndstopPin;
using feedhub_test::kButtonPin;
using feedhub_test::kEEndstopPin;
using ::testing::HasSubstr;

class FeedhubSensors : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.start();
    // Away from print time 0, where a first change would count as too close to the last.
    box_.host().advance(1.0);
  }
  feedhub::FeedHub& hub() { return box_.hub(); }
  // Level of an endstop pin once everything scheduled so far has happened.
  int settled_level(const char* pin) { return box_.pin_level(pin, box_.print_time() + 1.0); }

  BoxHost box_;
};

// As the host's own outputs: each change a minimum schedule time ahead and after the
// previous one, so that a busy host never sends the MCU a command already due.
TEST_F(FeedhubSensors, AnOutputSchedulesChangesTheHostsMinimumScheduleTimeAhead) {
  feedhub::BoxOutput& out = hub().sensors().b_output();
  double now = box_.print_time();
  out.set_pin(0.0);
  EXPECT_EQ(out.last_time(), 0.0) << "the current level sends nothing";

  out.set_pin(1.0);
  EXPECT_NEAR(out.last_time(), now + 0.1, 1e-9);
  EXPECT_EQ(box_.pin_level(kBEndstopPin, now + 0.099), 0);
  EXPECT_EQ(box_.pin_level(kBEndstopPin, now + 0.101), 1);

  out.set_pin(0.0);  // at once: kept, and spaced from the change before
  EXPECT_EQ(out.digital_out_value(), 0.0);
  EXPECT_EQ(box_.pin_level(kBEndstopPin, now + 0.199), 1);
  EXPECT_EQ(box_.pin_level(kBEndstopPin, now + 0.201), 0);
  EXPECT_EQ(box_.host().printer().shutdown_message(), "");
}

TEST_F(FeedhubSensors, TheOutletMirrorFollowsTheSwitchOnlyWhileWoken) {
  auto outlet = box_.drive_pin(kButtonPin, 0);
  outlet->schedule(box_.print_time() + 0.1, 1);
  box_.notify();
  ASSERT_TRUE(box_.host().run_until([&] { return hub().sensors().b_endstop_state() == 1; }, 1.0));
  box_.host().advance(0.1);
  EXPECT_EQ(settled_level(kBEndstopPin), 0) << "mirror timer idle";

  box_.host().reactor().update_timer(hub().sensors().b_endstop_timer(), klippy::Reactor::NOW);
  box_.host().advance(0.03);
  EXPECT_EQ(settled_level(kBEndstopPin), 1);
  box_.host().advance(0.1);  // the next change is no longer held back by this one

  outlet->schedule(box_.print_time() + 0.05, 0);
  box_.notify();
  double changed = box_.print_time() + 0.05;
  box_.host().advance(0.1);
  EXPECT_EQ(hub().sensors().b_endstop_state(), 0);
  EXPECT_EQ(box_.pin_level(kBEndstopPin, changed + 0.115), 0)
      << "report, next mirror tick, then the host's minimum schedule time";
}

TEST_F(FeedhubSensors, TheEntryMirrorDrivesLowOnlyAboveHalfAMillimetre) {
  box_.host().reactor().update_timer(hub().sensors().e_endstop_timer(), klippy::Reactor::NOW);
  box_.set_diameter(0.5);
  box_.host().advance(0.05);
  EXPECT_EQ(settled_level(kEEndstopPin), 1) << "exactly 0.5 mm is no filament";
  box_.set_diameter(1.75);
  box_.host().advance(0.05);
  EXPECT_EQ(settled_level(kEEndstopPin), 0);
}

TEST_F(FeedhubSensors, StatusReportsEntryPresenceStrictlyAboveHalfAMillimetre) {
  auto status = [&] { return *hub().get_status(box_.now()); };
  box_.set_diameter(0.5);
  EXPECT_EQ(*status().find("e_endstop_state"), klippy::Value(0));
  box_.set_diameter(0.51);
  EXPECT_EQ(*status().find("e_endstop_state"), klippy::Value(1));
  EXPECT_EQ(*status().find("b_endstop_state"), klippy::Value(1)) << "pulled-up switch: clear";
  EXPECT_EQ(*status().find("box_button_state"), klippy::Value(0));
}

TEST(FeedhubSensorLog, ListsSharedSensorsThenEverySlotAsDetectedOrNot) {
  BoxHost box;
  box.start(feedhub_test::box_config("[feedlane slot0]\n[feedlane slot1]\nrunout: 1\n"
                                     "[feedlane slot2]\n[feedlane slot3]\nrunout: 1\n"),
            "[Variables]\nbox_count = 1\n");
  auto outlet = box.drive_pin(kButtonPin, 1);  // outlet clear
  box.host().advance(0.1);
  box.set_diameter(1.7);
  box.info_log_clear();
  box.hub().sensors().print_sensor_state_to_log(box.now());
  ASSERT_FALSE(box.info_log().empty());
  EXPECT_EQ(box.info_log().back(),
            "last sensor state: \nb_endstop_state = 0\ne_endstop_state = 1\nslot0 = 1\n"
            "slot1 = 0\nslot2 = 1\nslot3 = 0\n");

  box.hub().variables().save_variable("box_count", 0);
  outlet->schedule(box.print_time() + 0.01, 0);  // filament at the outlet
  box.notify();
  box.host().advance(0.1);
  box.set_diameter(0.0);
  box.hub().sensors().print_sensor_state_to_log(box.now());
  EXPECT_EQ(box.info_log().back(),
            "last sensor state: \nb_endstop_state = 1\ne_endstop_state = 0\n");
}

TEST(FeedhubConfig, EveryPinOptionIsRequired) {
  BoxHost box;
  try {
    box.start(
        feedhub_test::box_config("", "b_button_pin: mcu_box1:PB0\nb_endstop_pin: mcu_box1:PB1\n"));
    FAIL() << "expected a configuration error";
  } catch (const klippy::ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("e_endstop_pin"), std::string::npos) << e.what();
  }
}

// The resume macro may come anywhere in the file; a missing one, or a missing hall sensor,
// is a configuration error at start that names the section.
TEST(FeedhubConfig, SectionOrderIsFreeAndMissingSectionsAreNamedAtStart) {
  std::string config = feedhub_test::box_config();
  const std::string macro = "[gcode_macro RESUME_PRINT]\nvariable_etemp: 0\ngcode:\n    RESUME\n";
  config.erase(config.find(macro), macro.size());
  {
    BoxHost box;
    EXPECT_NO_THROW(box.start(config + macro));
  }
  auto error_of = [](const std::string& text) {
    return testing_support::start_error<BoxHost>(text);
  };
  EXPECT_EQ(error_of(config),
            "Option 'gcode' in section 'gcode_macro RESUME_PRINT' must be specified");
  std::string no_hall = feedhub_test::box_config();
  const size_t hall = no_hall.find("[hall_filament_width_sensor]");
  no_hall.erase(hall, no_hall.find("[feedhub]") - hall);
  EXPECT_THAT(error_of(no_hall), HasSubstr("needs a [hall_filament_width_sensor] section"));
  // A sensor left off reads its nominal diameter: filament at the entry, always.
  std::string hall_off = feedhub_test::box_config();
  const size_t enable = hall_off.find("enable: True");
  ASSERT_NE(enable, std::string::npos);
  hall_off.replace(enable, 12, "enable: False");
  EXPECT_THAT(error_of(hall_off),
              HasSubstr("Option 'enable' in section 'hall_filament_width_sensor' must be True"));
  // Compensating, the sensor would set the print's flow from the box's filament.
  std::string compensating = feedhub_test::box_config();
  const std::string off = "enable_flow_compensation: False\n";
  ASSERT_NE(compensating.find(off), std::string::npos);
  compensating.erase(compensating.find(off), off.size());
  EXPECT_THAT(error_of(compensating), HasSubstr("'enable_flow_compensation' in section "
                                                "'hall_filament_width_sensor' must be False"));
}

// Axes too short for the cutter, wiper or trash fail the start, naming the places and the
// limits, rather than a tool change in the middle of a print.
TEST(FeedhubConfig, AxesThatCannotReachTheBoxsHeadPositionsFailTheStart) {
  auto printer = [](const std::string& y_max) {
    std::string rails = testing_support::cartesian_rails();
    const size_t y = rails.find("position_max: 325");
    rails.replace(y, 17, "position_max: " + y_max);
    return "[printer]\nkinematics: cartesian\nmax_velocity: 300\nmax_accel: 3000\n" + rails;
  };
  {
    BoxHost box;
    EXPECT_NO_THROW(box.start(feedhub_test::box_config(printer("324"))));
  }
  BoxHost box;
  try {
    box.start(feedhub_test::box_config(printer("320")));
    FAIL() << "a Y axis of 320 mm was accepted";
  } catch (const klippy::ConfigError& e) {
    EXPECT_THAT(e.what(), HasSubstr("wiper at Y 308 to 324 (stepper_y reaches 0 to 320)"));
    EXPECT_THAT(e.what(), HasSubstr("[stepper_x] and [stepper_y]"));
    EXPECT_THAT(e.what(), ::testing::Not(HasSubstr("cutter")));
  }
}

}  // namespace
