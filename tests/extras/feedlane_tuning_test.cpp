// Tuning values are saved variables anyone can set: a value that would plan an impossible
// move fails the operation, names the key and its value, switches the motor off and
// changes nothing else.
#include <gtest/gtest.h>

#include "sim/world/trapq.h"
#include "tests/extras/feedlane_fixture.h"

namespace {

using feedlane_test::LaneHost;
using klippy::Value;

class FeedlaneTuning : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.start({.world = true}, "[Variables]\nbox_count = 1\n");
    // Inserted after the start-up self-inspection (3 s), which would move the slot.
    host_.host().advance(3.5);
    host_.command("SIM_SPOOL SLOT=0 ACTION=insert");
    host_.host().advance(0.5);
  }
  feedlane::BoxExtruderStepper& lane() { return host_.lane(0); }
  double tip() { return host_.world().world().strand(0, host_.print_time()).tip_mm; }
  std::size_t queued_phases() {
    return std::dynamic_pointer_cast<sim::SimTrapq>(lane().trapq())->queued_phases();
  }
  // Runs slot_load with the motor on; returns the error it failed with.
  std::string failed_load() {
    host_.enable_line(0).motor_enable(host_.print_time());
    std::string error;
    try {
      host_.run_task([&] { feedhub::conclude(host_.hub(), lane().slot_load()); });
    } catch (const klippy::CommandError& e) {
      error = e.what();
    }
    host_.host().advance(1.0);
    return error;
  }
  void expect_nothing_changed(const std::string& variables_before) {
    EXPECT_FALSE(host_.enable_line(0).is_motor_enabled());
    EXPECT_EQ(queued_phases(), 0u) << "no move was planned";
    EXPECT_EQ(tip(), 10.0);
    EXPECT_EQ(testing_support::read_file(host_.test().path(feedlane_test::kVariablesPath)),
              variables_before);
  }
  std::string variables() {
    return testing_support::read_file(host_.test().path(feedlane_test::kVariablesPath));
  }

  LaneHost host_;
};

TEST_F(FeedlaneTuning, ANonPositiveSpeedOrAccelerationIsRefusedBeforeAnyMove) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"slot_load_length_1_speed", "0"},
      {"slot_load_length_1_accel", "-50"},
      {"slot_load_length_4_speed", "0.0"},
      {"slot_load_length_2_accel", "'fast'"},
  };
  for (const auto& [key, literal] : cases) {
    host_.save(key, "\"" + literal + "\"");
    const std::string before = variables();
    std::string default_value = key.ends_with("_speed") ? "80" : "50";
    EXPECT_EQ(failed_load(), "Saved variable " + key + " = " + literal +
                                 " is not a positive number; set it with SAVE_VARIABLE VARIABLE=" +
                                 key + " VALUE=" + default_value + " (the default) and try again");
    expect_nothing_changed(before);
    host_.save(key, default_value);
  }
}

TEST_F(FeedlaneTuning, ALengthThatIsNoNumberIsRefusedEvenForTheLastMove) {
  for (const std::string literal : {"'abc'", "True", "None", "[260]"}) {
    host_.save("slot_load_length_3", "\"" + literal + "\"");
    const std::string before = variables();
    EXPECT_EQ(failed_load(), "Saved variable slot_load_length_3 = " + literal +
                                 " is not a number; set it with SAVE_VARIABLE "
                                 "VARIABLE=slot_load_length_3 VALUE=-260 (the default) and try "
                                 "again");
    expect_nothing_changed(before);
  }
}

TEST_F(FeedlaneTuning, AnUnloadWithABadValueSaysSoOnTheConsoleAndKeepsTheSlotState) {
  host_.save("slot0", "1");
  host_.save("slot_unload_length_1_speed", "-100");
  const std::string before = variables();
  host_.enable_line(0).motor_enable(host_.print_time());
  auto lines = host_.command("SLOT_UNLOAD SLOT=slot0");
  EXPECT_EQ(lines, std::vector<std::string>{
                       "!! Saved variable slot_unload_length_1_speed = -100 is not a positive "
                       "number; set it with SAVE_VARIABLE VARIABLE=slot_unload_length_1_speed "
                       "VALUE=100 (the default) and try again"});
  host_.host().advance(1.0);
  EXPECT_TRUE(lane().slot_not_unload());
  expect_nothing_changed(before);
}

TEST_F(FeedlaneTuning, SavedNumbersOfEitherKindAreUsed) {
  host_.save("slot_load_length_1_speed", "60.5");
  host_.save("slot_load_length_3", "-200.0");
  host_.save("slot_load_length_3_accel", "100");
  bool loaded = false;
  host_.run_task([&] { loaded = feedhub::conclude(host_.hub(), lane().slot_load()); });
  host_.settle(0);
  EXPECT_TRUE(loaded);
  // Less the outlet endstop's delay (0.114 s) at the probes' 80 mm/s.
  EXPECT_NEAR(tip(), feedlane_test::kGeometry.outlet_mm - 200, 10.);
}

}  // namespace
