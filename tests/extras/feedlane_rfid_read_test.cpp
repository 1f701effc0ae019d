// RFID_READ and INIT_RFID_READ against the filament world's card readers: the strand is run
// past the reader and parked, refusals and failed pushes are reported, and a reader that
// does not answer leaves the box free for the next command.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "klippy/extras/feedtag/module.h"
#include "tests/extras/feedlane_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedlane_test::kGeometry;
using feedlane_test::kParkMm;
using feedlane_test::LaneHost;
using klippy::Value;
using testing::Contains;
using testing::HasSubstr;

constexpr const char* kReaderPins[] = {"PH0", "PH1"};

// A one-box printer with both card readers wired to the filament world.
void start(LaneHost& host, const std::string& world_options,
           const std::string& variables = "box_count = 1\n", bool progress_lines = false) {
  host.host().add_module(feedtag::feedtag_module());
  feedlane_test::PrinterSetup setup{.world = true, .progress_lines = progress_lines};
  for (int n = 1; n <= 2; ++n)
    setup.extra += "[feedtag card_reader_" + std::to_string(n) +
                   "]\ncs_pin: mcu_box1:" + kReaderPins[n - 1] + "\n";
  std::string text = feedlane_test::printer_config(setup);
  for (int n = 1; n <= 2; ++n)
    text += "reader" + std::to_string(n) + "_cs_pin: mcu_box1:" + kReaderPins[n - 1] + "\n";
  text += world_options;
  testing_support::write_file(host.test().path(feedlane_test::kVariablesPath),
                              "[Variables]\n" + variables);
  host.test().start(text);
  // As on a printer whose user has not asked for automatic reloads.
  host.hub().sensors().set_can_load_slot(false);
  host.until_sensors_report();
}

double tip_mm(LaneHost& host, int slot) {
  return host.world().world().strand(slot, host.print_time()).tip_mm;
}

// The chip of the box stops answering: every read query times out.
void silence_reader(LaneHost& host) {
  host.box_mcu().register_device(
      "fm17550_read_card_cb", [](const std::vector<Value>&) -> std::map<std::string, Value> {
        throw klippy::CommandError("Timeout on wait for 'fm17550_read_card_return' response");
      });
}

TEST(FeedlaneRfidRead, ReadsTheTagAndParksTheStrandBehindTheOutlet) {
  LaneHost host;
  start(host, "slot1_spool: PETG 0000FF\n");
  const double begun = host.host().reactor().monotonic();
  const auto lines = host.command("RFID_READ SLOT=slot1");
  host.settle(1);
  // No filament table here: the filament is known by its code only.
  ASSERT_THAT(lines, testing::ElementsAre(testing_support::SuccessLine(
                         "Read the tag of 1B", "filament 2, blue, vendor 1")));
  // The line counts until the strand is parked, not until the reader caught the tag on the
  // way out.
  EXPECT_NEAR(testing_support::success_seconds(lines[0]), host.host().reactor().monotonic() - begun,
              0.3);
  EXPECT_EQ(host.variable("filament_slot1"), Value(2));
  EXPECT_EQ(host.variable("color_slot1"), Value(5));
  EXPECT_EQ(host.variable("vendor_slot1"), Value(1));
  EXPECT_EQ(host.variable("slot1"), Value(1));
  // Parked behind the outlet, less the outlet endstop's delay (0.114 s at 80 mm/s).
  EXPECT_NEAR(tip_mm(host, 1), kGeometry.outlet_mm - kParkMm, 10.0);
  EXPECT_EQ(host.lane(1).rfid_state(), 0);
  EXPECT_EQ(host.hub().sensors().box_button_state(), 0);
  EXPECT_FALSE(host.enable_line(1).is_motor_enabled());
}

// A read takes some 20 s: the console hears its steps, a line each and seconds apart, and the
// status knows the step and how far its move has got.
TEST(FeedlaneRfidRead, ALongReadTellsItsStepsOnTheConsoleAndInTheStatus) {
  LaneHost host;
  start(host, "slot1_spool: PETG 0000FF\n", "box_count = 1\n", true);
  std::vector<std::string> steps;
  std::vector<double> progress;
  host.output().clear();
  host.run_task([&] { host.host().gcode().run_script("RFID_READ SLOT=slot1"); },
                [&] {
                  const auto status = host.hub().get_status(host.now());
                  const std::string step = status->find("action_step")->as_string();
                  if (!step.empty() && (steps.empty() || steps.back() != step))
                    steps.push_back(step);
                  progress.push_back(status->find("action_step_progress")->as_float());
                });
  EXPECT_THAT(
      steps, testing::ElementsAre("pushing the filament past the card reader to the box outlet",
                                  "pulling the filament back past the card reader, then to the box "
                                  "outlet again",
                                  "parking behind the box outlet"));
  EXPECT_TRUE(std::any_of(progress.begin(), progress.end(), [](double p) {
    return p > 0 && p < 1;
  })) << "the pull-back is a move of a known end";
  std::vector<std::string> step_lines;
  for (const std::string& line : host.output())
    if (line.rfind("// Reading the tag of 1B: ", 0) == 0) step_lines.push_back(line);
  // Each step begins 3 s or more after the line before: each has its line, said at once.
  EXPECT_THAT(step_lines,
              testing::ElementsAre("// Reading the tag of 1B: pushing the filament past the "
                                   "card reader to the box outlet",
                                   "// Reading the tag of 1B: pulling the filament back past "
                                   "the card reader, then to the box outlet again",
                                   "// Reading the tag of 1B: parking behind the box outlet"))
      << testing::PrintToString(host.output());
  EXPECT_THAT(host.output().back(), testing_support::SuccessLine("Read the tag of 1B"));
}

TEST(FeedlaneRfidRead, AnOccupiedOutletRefusesTheRead) {
  LaneHost host;
  start(host, "slot0_spool: PLA FFFFFF\nslot1_spool: PETG 0000FF\n");
  host.run_task([&] { host.lane(0).do_move(kGeometry.outlet_mm + 50, 80, 50); });
  host.settle(0);
  host.host().advance(0.2);
  ASSERT_EQ(host.hub().sensors().b_endstop_state(), 0);
  const double tip_before = tip_mm(host, 1);
  bool result = false;
  host.run_task([&] { result = host.lane(1).read_slot_tag(); });
  EXPECT_TRUE(result);
  EXPECT_TRUE(host.output_contains(
      "// Code:ZKE_004_011; Message:Detected that filament have been loaded, please unload "
      "filament first"));
  EXPECT_EQ(host.variable("retry_step"), Value("ZKE_004_011_00"));
  EXPECT_EQ(tip_mm(host, 1), tip_before);
}

TEST(FeedlaneRfidRead, AStrandThatNeverReachesTheOutletFailsTheRead) {
  LaneHost host;
  start(host, "");
  bool result = true;
  host.run_task([&] { result = host.lane(2).read_slot_tag(); });
  EXPECT_FALSE(result);
  EXPECT_TRUE(host.output_contains(
      "!!Code:ZKE_004_020; Message:Detected that the filament has been unloaded, please "
      "reload."));
  EXPECT_EQ(host.variable("retry_step"), Value("ZKE_004_019_00"));
  EXPECT_EQ(host.lane(2).rfid_state(), 0);
  EXPECT_EQ(host.hub().sensors().box_button_state(), 0);
}

TEST(FeedlaneRfidRead, ASilentReaderFailsTheCommandAndLeavesTheSlotFree) {
  LaneHost host;
  start(host, "slot1_spool: PETG 0000FF\n");
  silence_reader(host);
  const auto lines = host.command("RFID_READ SLOT=slot1");
  EXPECT_THAT(lines, Contains(HasSubstr("Timeout on wait")));
  EXPECT_EQ(host.lane(1).rfid_state(), 0);
  EXPECT_EQ(host.hub().sensors().box_button_state(), 0);
  EXPECT_FALSE(host.enable_line(1).is_motor_enabled());
  EXPECT_TRUE(host.variable("filament_slot1").is_none());
}

TEST(FeedlaneInitRfidRead, ReadsEveryLoadedSlotInOrder) {
  LaneHost host;
  start(host, "slot0_spool: PLA FFFFFF\nslot3_spool: PETG 0000FF\n",
        "box_count = 1\nauto_init_detect = 1\n");
  host.command("INIT_RFID_READ");
  EXPECT_EQ(host.variable("filament_slot0"), Value(1));
  EXPECT_EQ(host.variable("filament_slot3"), Value(2));
  EXPECT_TRUE(host.variable("filament_slot1").is_none());
  EXPECT_EQ(host.variable("slot0"), Value(1));
  EXPECT_EQ(host.variable("slot3"), Value(1));
  EXPECT_TRUE(host.hub().sensors().can_load_slot());
}

TEST(FeedlaneInitRfidRead, AFailingReaderStillReportsButFreesLoading) {
  LaneHost host;
  start(host, "slot0_spool: PLA FFFFFF\n", "box_count = 1\nauto_init_detect = 1\n");
  host.hub().sensors().set_can_load_slot(false);
  silence_reader(host);
  const auto lines = host.command("INIT_RFID_READ");
  EXPECT_THAT(lines, Contains(HasSubstr("Timeout on wait")));
  EXPECT_TRUE(host.hub().sensors().can_load_slot());
}

TEST(FeedlaneInitRfidRead, TheStartUpReadingLogsAFailureAndKeepsTheHostRunning) {
  LaneHost host;
  host.host().add_module(feedtag::feedtag_module());
  feedlane_test::PrinterSetup setup{.world = true};
  // Started without the readers' sections: the read fails on the missing reader.
  host.start(setup, "[Variables]\nbox_count = 1\nauto_init_detect = 1\n");
  auto errors = std::make_shared<std::vector<std::string>>();
  host.host().logger().set_tap([errors](klippy::LogLevel level, const std::string& line) {
    if (level == klippy::LogLevel::Error) errors->push_back(line);
  });
  // Inserted after the start-up self-inspection (3 s; start() ran the host for 3 s), which
  // would keep the printer busy moving the slot when the start-up reading (5 s) is due.
  host.host().advance(0.5);
  host.command("SIM_SPOOL SLOT=0 ACTION=insert");
  host.host().advance(6.0);
  EXPECT_THAT(host.output(), Contains(HasSubstr("No card reader 'feedtag card_reader_1'")));
  EXPECT_THAT(*errors, Contains(HasSubstr("No card reader 'feedtag card_reader_1'")));
  EXPECT_TRUE(host.hub().sensors().can_load_slot());
  EXPECT_EQ(host.lane(0).rfid_state(), 0);
  // Still serving commands.
  EXPECT_TRUE(host.command("CLEAR_RUNOUT_NUM").empty());
  EXPECT_EQ(host.variable("runout_15"), Value(0));
}

// The read carries a freshly inserted strand back past its own sensor: not a spool
// removed and inserted, so its slot is not taken for empty and no reload of other slots
// (here a failed one) starts.
TEST(FeedlaneRfidRead, ItsOwnMovesStartNoReloadOfOtherSlots) {
  LaneHost host;
  start(host, "slot0_spool: PLA FFFFFF\nslot1_spool: PETG 0000FF\n",
        "box_count = 1\nslot0 = -1\nauto_read_rfid = 0\n");
  host.hub().sensors().set_can_load_slot(true);
  const double tip0 = tip_mm(host, 0);
  int lowest_state = 3;
  host.run_task([&] { host.lane(1).read_slot_tag(); },
                [&] {
                  lowest_state = std::min<int>(
                      lowest_state, static_cast<int>(host.variable("slot1", Value(3)).as_int()));
                });
  host.settle(1);
  host.host().advance(5);
  EXPECT_EQ(host.variable("filament_slot1"), Value(2)) << "read and kept";
  EXPECT_EQ(host.variable("slot1"), Value(1));
  EXPECT_GE(lowest_state, 1) << "never saved as empty";
  EXPECT_EQ(tip_mm(host, 0), tip0) << "the failed slot 0 was not driven";
  EXPECT_EQ(host.variable("slot0"), Value(-1));
  EXPECT_TRUE(host.variable("retry_step").is_none());
  EXPECT_TRUE(host.hub().sensors().can_load_slot()) << "handed back";
}

}  // namespace
