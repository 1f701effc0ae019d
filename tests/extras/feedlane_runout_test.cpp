// A slot's runout sensor and the hand-over of a run-out spool's tool to a replacement.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "klippy/extras/feedhub/durations.h"
#include "klippy/extras/feedhub/filament_table.h"
#include "sim/host/filament_sensors.h"
#include "sim/host/print_stats.h"
#include "tests/extras/feedlane_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedlane_test::LaneHost;
using klippy::Value;
using testing_support::SuccessLine;

class Runout : public ::testing::Test {
 protected:
  void start(bool auto_load = false, const std::string& extra = "") {
    host_.start({.world = true, .extra = extra, .auto_load_new_spools = auto_load},
                "[Variables]\nbox_count = 1\n");
    host_.host().advance(0.5);
  }
  void spool(int slot, const std::string& action, const std::string& extra = "") {
    host_.command("SIM_SPOOL SLOT=" + std::to_string(slot) + " ACTION=" + action + extra);
    host_.host().advance(0.2);
  }
  void start_print() {
    host_.host().printer().lookup_object<sim::SimPrintStats>("print_stats").note_start("a.gcode");
  }
  bool paused() {
    return host_.host().printer().lookup_object<sim::SimPrintStats>("print_stats").state() ==
           "paused";
  }
  void tag(int slot, const std::string& vendor, const std::string& color,
           const std::string& filament) {
    const std::string name = "slot" + std::to_string(slot);
    host_.save("vendor_" + name, "'" + vendor + "'");
    host_.save("color_" + name, "'" + color + "'");
    host_.save("filament_" + name, "'" + filament + "'");
  }
  int switch_from(int slot) {
    int next = -2;
    host_.run_task([&] { next = host_.lane(slot).switch_next_slot(); });
    return next;
  }

  LaneHost host_;
};

TEST_F(Runout, TheSensorKeepsTheSlotStateAndCountsRunoutsOnlyWhilePrinting) {
  start();
  spool(0, "insert");
  EXPECT_EQ(host_.variable("slot0"), Value(3));
  EXPECT_EQ(host_.lane(0).r_endstop_state(), 0);
  spool(0, "remove");
  EXPECT_EQ(host_.variable("slot0"), Value(0));
  EXPECT_EQ(host_.lane(0).r_endstop_state(), 1);
  EXPECT_TRUE(host_.variable("runout_0").is_none());
  spool(0, "insert");
  start_print();
  spool(0, "remove");
  EXPECT_EQ(host_.variable("runout_0"), Value(1));
  EXPECT_TRUE(host_.output().empty());
}

TEST_F(Runout, AFailingAutomaticReloadIsReportedAndTheHostGoesOn) {
  // This printer has no card readers, so the reload fails when it wants to read the tag.
  start(true);
  spool(2, "insert");
  EXPECT_EQ(host_.variable("slot2"), Value(3));
  ASSERT_FALSE(host_.output().empty());
  EXPECT_EQ(host_.output().back().rfind("!! Runout sensor of 1C (slot2): ", 0), 0u)
      << testing::PrintToString(host_.output());
  EXPECT_EQ(host_.command("M114").size(), 1u);
}

TEST_F(Runout, TheSearchWrapsPastTheLastSlotAndTakesOnlyParkedMatches) {
  start();
  host_.save("box_count", "2");
  host_.save("auto_reload_detect", "1");
  host_.save("value_t2", "'slot3'");
  host_.save("value_t5", "'slot2'");
  tag(2, "Acme", "FF0000", "PLA");
  tag(3, "Acme", "FF0000", "PLA");  // the next slot, but in the extruder
  host_.save("slot3", "2");
  tag(5, "Acme", "FF0000", "PETG");  // another filament
  host_.save("slot5", "1");
  tag(7, "Acme", "FF0000", "PLA");
  host_.save("slot7", "1");
  tag(0, "Acme", "FF0000", "PLA");
  host_.save("slot0", "1");
  EXPECT_EQ(switch_from(2), 7);
  // The tool is another slot's from now on: the user is told which.
  EXPECT_THAT(host_.output().back(), SuccessLine("Handed tool T5 over to 2D", "1C ran out"));
  EXPECT_EQ(host_.variable("value_t5"), Value("slot7"));
  EXPECT_EQ(host_.variable("value_t2"), Value("slot3"));
  // The hand-over used the run-out spool's data; the slot's next spool is unknown.
  EXPECT_TRUE(host_.variable("filament_slot2").is_none());
  EXPECT_TRUE(host_.variable("color_slot2").is_none());
  EXPECT_TRUE(host_.variable("vendor_slot2").is_none());
  tag(2, "Acme", "FF0000", "PLA");
  host_.save("slot7", "3");
  EXPECT_EQ(switch_from(2), 0);
}

TEST_F(Runout, ASpoolTakenOutByHandTakesItsTagDataWithIt) {
  start();
  spool(0, "insert");
  spool(1, "insert");
  tag(0, "Acme", "FF0000", "PLA");
  tag(1, "Acme", "00FF00", "PETG");
  spool(0, "remove");
  for (const char* key : {"filament_slot0", "color_slot0", "vendor_slot0"})
    EXPECT_TRUE(host_.variable(key).is_none()) << key;
  EXPECT_EQ(host_.variable("filament_slot1"), Value("PETG")) << "other slots keep theirs";
  // Withdrawn past its sensor by SLOT_UNLOAD, the spool may be swapped next.
  host_.run_task([&] { feedhub::conclude(host_.hub(), host_.lane(1).slot_load()); });
  host_.settle(1);
  host_.command("SLOT_UNLOAD SLOT=slot1");
  host_.settle(1);
  host_.host().advance(0.5);
  EXPECT_TRUE(host_.variable("filament_slot1").is_none());

  // Present at start, the spool gets no report then: the first one is its removal.
  testing_support::write_file(host_.test().path(feedhub::kFilamentTablePath),
                              "[fila1]\nname: PLA\n");
  spool(2, "insert");
  host_.command("BOX_SET_SLOT SLOT=1C FILAMENT=PLA COLOR=red VENDOR=Acme");
  const Value described = host_.variable("filament_slot2");
  ASSERT_FALSE(described.is_none());
  host_.restart();
  host_.host().advance(0.5);
  ASSERT_EQ(host_.variable("filament_slot2"), described);
  spool(2, "remove");
  EXPECT_EQ(host_.variable("slot2"), Value(0));
  for (const char* key : {"filament_slot2", "color_slot2", "vendor_slot2"})
    EXPECT_TRUE(host_.variable(key).is_none()) << key;
}

TEST_F(Runout, ASlotWithoutAReplacementSaysWhy) {
  start();
  EXPECT_EQ(switch_from(1), -1);
  EXPECT_TRUE(host_.output().empty()) << "automatic replacement is off";
  host_.save("auto_reload_detect", "1");
  EXPECT_EQ(switch_from(1), -1);
  EXPECT_EQ(testing_support::without_advice(host_.output()).back(),
            "// Code:ZKE_004_018; Message:No filament specified, 1B cannot be automatically "
            "replaced.");
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_018_00"));
  tag(1, "Acme", "00FF00", "PLA");
  EXPECT_EQ(switch_from(1), -1);
  EXPECT_EQ(testing_support::without_advice(host_.output()).back(),
            "// Code:ZKE_004_022; Message:No replaceable slot found.");
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_022_00"));
  EXPECT_TRUE(testing_support::success_lines(host_.output()).empty());
}

class RunoutDuringAPrint : public Runout {
 protected:
  // Automatic replacement switched on, and both spools' tags read, before the spool runs out.
  virtual bool hands_over() const { return false; }
  void SetUp() override {
    start();
    if (hands_over()) host_.save("auto_reload_detect", "1");
    // Just enough filament to reach the extruder and print a little.
    spool(0, "insert", " LENGTH=1500");
    spool(1, "insert");
    for (int slot : {0, 1}) {
      bool loaded = false;
      host_.run_task(
          [&] { loaded = feedhub::conclude(host_.hub(), host_.lane(slot).slot_load()); });
      host_.settle(slot);
      ASSERT_TRUE(loaded);
    }
    if (hands_over()) {
      // Both spools described alike before the runout, as a user does without tags.
      testing_support::write_file(host_.test().path(feedhub::kFilamentTablePath),
                                  "[fila1]\nname: PLA\n");
      for (const char* slot : {"1A", "1B"})
        host_.command(std::string("BOX_SET_SLOT SLOT=") + slot +
                      " FILAMENT=PLA COLOR=red VENDOR=Acme");
    }
    host_.command("EXTRUDER_LOAD SLOT=slot0");
    host_.settle(0);
    ASSERT_EQ(host_.variable("slot_sync"), Value("slot0"));
    host_.command("G28");
    start_print();
    host_.command("M83");
    host_.command("G1 E200 F600");
    host_.command("M400");
  }
  sim::StrandState strand(int slot) { return host_.strand(slot); }
};

TEST_F(RunoutDuringAPrint, TheRunOutSlotSwitchesOffTheMotionSensorAndCounts) {
  EXPECT_EQ(host_.variable("slot0"), Value(0));
  EXPECT_EQ(host_.variable("runout_0"), Value(1));
  auto& sensor = host_.host().printer().lookup_object<sim::SimFilamentMotionSensor>(
      "filament_motion_sensor box_motion_sensor");
  EXPECT_FALSE(sensor.enabled());
}

// Without a replacement nothing would stop the print once the strand's tail leaves the
// extruder: it pauses as the spool runs out, with the rest of the strand still in the path.
TEST_F(RunoutDuringAPrint, WithoutAutomaticReplacementThePrintPausesAsTheSpoolRunsOut) {
  host_.host().advance(0.5);
  EXPECT_TRUE(paused());
  EXPECT_THAT(testing_support::without_advice(host_.output()),
              testing::Contains("// Code:ZKE_004_016; Message:The filament has been exhausted, "
                                "please load the filament to 1A."));
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_016_00"));
  EXPECT_TRUE(strand(0).present);
  EXPECT_TRUE(strand(0).gripped_by_extruder) << "the strand's tail is still in the path";
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot0")) << "nothing uncoupled";
  EXPECT_THAT(host_.command("BOX_STATUS"),
              testing::Contains(
                  testing::HasSubstr("Doing: waiting for you (paused by ZKE_004_016 at 1A)")));
}

// Resumed after the runout, the print uses up the strand and changes tool: the change takes
// what is left of the old strand out and goes on with the new tool, instead of pausing
// again while its block loads the next tool behind the old strand.
TEST_F(RunoutDuringAPrint, AToolChangeAfterTheRunoutGoesOnWithTheNewTool) {
  host_.host().advance(0.5);
  ASSERT_TRUE(paused());
  host_.command("BOX_CLEAR_ERROR");
  host_.host().printer().lookup_object<sim::SimPrintStats>("print_stats").note_resume();
  for (const char* line :
       {"TOOL_CHANGE_START F=0 T=1", "CUT_FILAMENT T=0", "EXTRUDER_UNLOAD SLOT=slot0",
        "EXTRUDER_LOAD SLOT=slot1", "TOOL_CHANGE_END"})
    host_.command(line);
  host_.settle(1);
  host_.command("G1 E60 F300");
  host_.command("M400");
  EXPECT_FALSE(paused());
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot1"));
  EXPECT_TRUE(strand(1).gripped_by_extruder);
  EXPECT_FALSE(strand(0).gripped_by_extruder) << "what was left of 1A's strand is out";
  EXPECT_EQ(host_.variable("retry_step"), Value());
}

// What the pause tells the user to do gives a print that goes on with a new spool of 1A.
TEST_F(RunoutDuringAPrint, TheAdviceOfTheRunoutPauseResumesWithANewSpool) {
  host_.host().advance(0.5);
  ASSERT_TRUE(paused());
  host_.command("EXTRUDER_UNLOAD SLOT=slot0");
  host_.settle(0);
  EXPECT_FALSE(strand(0).gripped_by_extruder) << "the rest of the strand is out";
  spool(0, "remove");
  spool(0, "insert");
  host_.host().advance(30.0);
  host_.command("EXTRUDER_LOAD SLOT=slot0");
  host_.settle(0);
  host_.command("TRY_MOVE_AGAIN");
  host_.command("RESUME");
  EXPECT_FALSE(paused());
  host_.command("G1 E60 F300");
  host_.command("M400");
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot0"));
  EXPECT_TRUE(strand(0).gripped_by_extruder);
  EXPECT_EQ(host_.lane(0).extruder_stepper().synced_extruder(), "extruder");
}

// Taken out and pushed back in, the spool's new strand is parked, not driven by extrusion.
TEST_F(RunoutDuringAPrint, AReinsertedSpoolIsNotCoupledToTheExtruder) {
  host_.host().advance(0.5);
  spool(0, "remove");
  spool(0, "insert");
  host_.host().advance(30.0);
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot-1"));
  EXPECT_EQ(host_.lane(0).extruder_stepper().synced_extruder(), "");
  const double tip = strand(0).tip_mm;
  host_.command("G1 E50 F600");
  host_.command("M400");
  EXPECT_EQ(strand(0).tip_mm, tip);
}

class RunoutHandOver : public RunoutDuringAPrint {
 protected:
  bool hands_over() const override { return true; }
};

TEST_F(RunoutHandOver, ThePrintGoesOnUntilTheNextToolChangeHandsTheToolOver) {
  host_.host().advance(0.5);
  EXPECT_FALSE(paused());
}

// The print goes on after the runout: its retractions draw the tail back over the sensor
// and its extrusion takes it away again. That is neither a new spool nor another runout.
TEST_F(RunoutHandOver, ATailThatRetractionsDrawBackOverTheSensorIsNoNewSpool) {
  ASSERT_EQ(host_.variable("runout_0"), Value(1));
  // The tail is up to 200 mm past the sensor: the retractions take it back over it.
  for (int i = 0; i < 6; ++i) host_.command("G1 E-40 F1800");
  for (int i = 0; i < 6; ++i) host_.command("G1 E40 F600");
  host_.command("M400");
  host_.host().advance(0.5);
  EXPECT_EQ(host_.variable("runout_0"), Value(1));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot0"));
  EXPECT_EQ(host_.lane(0).extruder_stepper().synced_extruder(), "extruder");
}

TEST_F(RunoutHandOver, AMatchingParkedSpoolTakesOverAfterThePurge) {
  const double started = host_.now();
  const std::vector<std::string> lines = host_.command("EXTRUDER_UNLOAD SLOT=slot0");
  const double purged = host_.now();
  // One line for the unload that became a hand-over, timed from the start of the purge.
  const std::vector<std::string> said = testing_support::success_lines(lines);
  ASSERT_THAT(said, testing::ElementsAre(SuccessLine("Handed tool T0 over to 1B", "1A ran out")));
  // Minutes of purging: the line gives them to the second.
  const double purge_s = purged - started;
  EXPECT_GT(purge_s, 60.);
  EXPECT_NE(said[0].find(" in " + feedhub::readable_duration(purge_s) + ":"), std::string::npos)
      << said[0];
  host_.command("M400");
  EXPECT_FALSE(paused());
  EXPECT_EQ(host_.world().world().hall_diameter_mm(host_.print_time()), 0.);
  EXPECT_FALSE(strand(0).present && strand(0).tip_mm < feedlane_test::kGeometry.entry_mm())
      << "purged out of the toolhead";
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot-1"));
  EXPECT_EQ(host_.variable("value_t0"), Value("slot1"));
  EXPECT_EQ(host_.variable("slot1"), Value(1));
}

// A purge that never clears the toolhead pauses the print; the tool is handed over all the
// same, and the user is told so, since nothing else will say it.
TEST_F(RunoutHandOver, AFailedPurgeStillSaysWhichSlotTookTheToolOver) {
  host_.command("SIM_FAULT SLOT=0 KIND=jam");
  const std::vector<std::string> lines = host_.command("EXTRUDER_UNLOAD SLOT=slot0");
  ASSERT_TRUE(testing_support::without_advice(lines).size() >= 2) << testing::PrintToString(lines);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("Code:ZKE_004_017") != std::string::npos;
  })) << testing::PrintToString(lines);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line == "// Handed tool T0 over to 1B (1A ran out); load 1B before resuming.";
  })) << testing::PrintToString(lines);
  EXPECT_TRUE(paused());
  EXPECT_EQ(host_.variable("value_t0"), Value("slot1"));
}

// A print extruding absolute (M82) gets its mode and E coordinate back after the purge,
// which extrudes relative.
TEST_F(RunoutHandOver, ThePurgeInAnAbsolutePrintKeepsItsExtrusionMode) {
  host_.command("M82");
  host_.command("G92 E500");
  host_.command("EXTRUDER_UNLOAD SLOT=slot0");
  host_.command("M400");
  EXPECT_FALSE(paused());
  for (const auto& line : host_.output())
    EXPECT_EQ(line.find("Extrude only move too long"), std::string::npos) << line;
  auto& gcode_move = host_.host().printer().lookup_object<klippy::GCodeMove>("gcode_move");
  const klippy::Value status = *gcode_move.get_status(host_.now());
  EXPECT_TRUE(status.find("absolute_extrude")->truthy());
  EXPECT_NEAR(status.find("gcode_position")->as_list()[3].as_float(), 500., 1e-6);
  EXPECT_EQ(host_.variable("value_t0"), Value("slot1"));
}

}  // namespace
