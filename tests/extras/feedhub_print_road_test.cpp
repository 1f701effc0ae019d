// The tool-change road of a multi-colour print, run as a print job against the filament
// world: the slicer's block cuts, unloads and loads, and the strands end where physics
// puts them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

#include "klippy/extras/feedhub/tool_change.h"
#include "klippy/host/file_writer.h"
#include "sim/host/print_job.h"
#include "sim/host/print_stats.h"
#include "tests/extras/feedlane_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedlane_test::kGeometry;
using feedlane_test::kParkMm;
using feedlane_test::LaneHost;
using klippy::Value;
using testing_support::SuccessLine;

class PrintRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.start({.world = true}, "[Variables]\nbox_count = 1\n");
    for (int slot : {0, 1})
      host_.command("SIM_SPOOL SLOT=" + std::to_string(slot) + " ACTION=insert");
    host_.host().advance(0.5);
  }
  // Runs `lines` as a print; false when it paused.
  bool print(std::vector<std::string> lines) {
    auto& job = host_.host().printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
    lines.push_back("M400");
    job.start("road.gcode", std::move(lines));
    host_.host().run_until([&] { return !job.is_active() || job.is_paused(); }, 1e6);
    host_.host().advance(1.0);
    return !job.is_paused();
  }
  sim::StrandState strand(int slot) { return host_.strand(slot); }

  LaneHost host_;
};

TEST_F(PrintRoad, ABlockChangingSlotsParksTheOldFilamentAndCouplesTheNew) {
  // Purged after the load: the filament reaches through the cutter.
  ASSERT_TRUE(print({"G28", "G90", "M83", "EXTRUDER_LOAD SLOT=slot0", "G1 E80 F300",
                     "G1 X50 Y50 E5 F3000", "TOOL_CHANGE_START F=0 T=1", "CUT_FILAMENT T=0",
                     "EXTRUDER_UNLOAD SLOT=slot0", "EXTRUDER_LOAD SLOT=slot1", "MOVE_TO_TRASH",
                     "G1 E100 F300", "CLEAR_FLUSH", "TOOL_CHANGE_END", "G1 X60 Y60 E2 F3000"}))
      << testing::PrintToString(host_.output());
  EXPECT_EQ(host_.variable("slot0"), Value(1));
  EXPECT_EQ(host_.variable("slot1"), Value(2));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot1"));
  EXPECT_EQ(host_.variable("last_load_slot"), Value("slot1"));
  EXPECT_EQ(host_.variable("is_tool_change"), Value(0));
  // Slot 0 was cut (pulled back 35 mm first) and parked behind the outlet, less the outlet
  // endstop's delay (0.114 s at 100 mm/s).
  EXPECT_NEAR(strand(0).tip_mm, kGeometry.outlet_mm - kParkMm, 12.);
  EXPECT_TRUE(strand(1).gripped_by_extruder);
  EXPECT_GT(strand(1).tip_mm, kGeometry.cutter_mm());
  // The piece cut off slot 0 was pushed out by the purge.
  EXPECT_TRUE(host_.world().world().loose_pieces().empty());
  EXPECT_THAT(
      host_.output(),
      testing::ElementsAre(
          SuccessLine("Loaded 1A into the extruder"), SuccessLine("Unloaded 1A from the extruder"),
          SuccessLine("Loaded 1B into the extruder"),
          SuccessLine("Changed from T0 (1A) to T1 (1B)"), "Done printing file",
          testing::MatchesRegex(
              std::string("// Box during the print \\(complete\\): 1 tool change taking ") +
              testing_support::kDurationPattern + ", no errors, no retries\\.")));
}

// A pause of the user's own is no news when it ends; a cancelled print is not done.
TEST_F(PrintRoad, OnlyAResumeOfAPrintTheBoxPausedIsToldAndACancelIsNotDone) {
  auto& job = host_.host().printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
  job.start("paused.gcode", {"G28", "PAUSE", "G4 P1000"});
  host_.host().run_until([&] { return job.is_paused(); }, 1e6);
  host_.host().advance(1.0);
  host_.command("RESUME");
  host_.host().run_until([&] { return !job.is_active(); }, 1e6);
  host_.host().advance(1.0);
  EXPECT_THAT(host_.output(), testing::Not(testing::Contains("// Print resumed")));
  job.start("cancelled.gcode", {"G28", "PAUSE", "G4 P1000"});
  host_.host().run_until([&] { return job.is_paused(); }, 1e6);
  host_.host().advance(1.0);
  host_.command("CANCEL_PRINT");
  host_.host().advance(1.0);
  EXPECT_THAT(host_.output(),
              testing::ElementsAre(
                  "Done printing file",
                  "// Box during the print (complete): no tool changes, no errors, no retries.",
                  "// Box during the print (cancelled): no tool changes, no errors, no retries."));
}

// Each file write is an fsync (10 to 100 ms on an SD card) that holds up the print: the
// box writes what a command changed once, when it ends. A move's start is written before
// the move, so that a host dying during it leaves the file saying the strand is under way.
TEST_F(PrintRoad, AToolChangeWritesEachCommandOnceAndMarksAMoveBeforeIt) {
  // The new slot waits parked in the box, so that its load's start changes the file.
  host_.run_task([&] { ASSERT_TRUE(feedhub::conclude(host_.hub(), host_.lane(1).slot_load())); });
  host_.settle(1);
  ASSERT_EQ(host_.variable("slot1"), Value(1));
  ASSERT_TRUE(print({"G28", "G90", "M83", "EXTRUDER_LOAD SLOT=slot0", "G1 E80 F300"}));
  std::atomic<int> writes{0};
  host_.host().printer().file_writer().set_fsync_hook([&] { ++writes; });
  const auto& file = host_.host().printer().lookup_object<klippy::SaveVariables>("save_variables");
  auto& job = host_.host().printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
  job.start("road.gcode",
            {"TOOL_CHANGE_START F=0 T=1", "CUT_FILAMENT T=0", "EXTRUDER_UNLOAD SLOT=slot0",
             "EXTRUDER_LOAD SLOT=slot1", "TOOL_CHANGE_END", "M400"});
  host_.host().run_until([&] { return strand(1).tip_mm > kGeometry.outlet_mm + 100.; }, 1e6);
  ASSERT_TRUE(job.is_active());
  const klippy::VariableMap in_tube = file.all_variables();
  EXPECT_EQ(in_tube.at("slot1"), Value(3)) << "the load's start is in the file";
  EXPECT_EQ(in_tube.at("slot0"), Value(1)) << "the unload's end is in the file";
  EXPECT_EQ(host_.variable("slot1"), Value(3));
  host_.host().run_until([&] { return !job.is_active() || job.is_paused(); }, 1e6);
  host_.host().printer().file_writer().set_fsync_hook({});
  ASSERT_FALSE(job.is_paused()) << testing::PrintToString(host_.output());
  EXPECT_EQ(file.all_variables().at("slot1"), Value(2));
  EXPECT_EQ(file.all_variables().at("slot_sync"), Value("slot1"));
  EXPECT_EQ(file.all_variables().at("last_load_slot"), Value("slot1"));
  // The block's start and end, the cut, and the unload and the load with their marks.
  EXPECT_EQ(writes, 6);
}

TEST_F(PrintRoad, ASameSlotBlockLeavesTheFilamentAndTheHeadWhereTheyWere) {
  host_.save("value_t0", "'slot0'");
  host_.save("value_t1", "'slot0'");
  // Purged after the load, so that the extruder gears hold the filament.
  ASSERT_TRUE(
      print({"G28", "G90", "M83", "EXTRUDER_LOAD SLOT=slot0", "G1 E60 F300", "G1 X50 Y50 E5 F3000",
             "TOOL_CHANGE_START F=0 T=1", "CUT_FILAMENT T=0", "EXTRUDER_UNLOAD SLOT=slot0",
             "EXTRUDER_LOAD SLOT=slot1", "G1 X100 Y100 E60 F300", "TOOL_CHANGE_END"}))
      << testing::PrintToString(host_.output());
  const double tip = strand(0).tip_mm;
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot0"));
  EXPECT_TRUE(strand(1).tip_mm < kGeometry.outlet_mm);
  // The head went to the trash once and nothing of the block moved it.
  EXPECT_EQ(host_.toolhead().get_position()[0], 300.);
  EXPECT_EQ(host_.toolhead().get_position()[1], 310.);
  // The swallowed unload and load say nothing; the change says why nothing moved.
  EXPECT_THAT(host_.output(),
              testing::ElementsAre(
                  SuccessLine("Loaded 1A into the extruder"),
                  SuccessLine("Changed from T0 to T1", "both use 1A, its filament stayed in"),
                  "Done printing file", testing::StartsWith("// Box during the print")));
  ASSERT_TRUE(print({"G90", "M83", "G1 X10 Y10 E1 F3000"}));
  EXPECT_NEAR(strand(0).tip_mm - tip, 1., 1e-6);
}

TEST_F(PrintRoad, AnEmptySlotInTheBlockPausesThePrintWithItsReport) {
  EXPECT_FALSE(print({"EXTRUDER_LOAD SLOT=slot2", "G1 X10 F3000"}));
  EXPECT_EQ(testing_support::without_advice(host_.output()).back(),
            "// Code:ZKE_004_005; Message:Please load the filament to 1C first.");
  EXPECT_TRUE(testing_support::success_lines(host_.output()).empty());
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_005_2"));
}

// Inside a block between tools of one slot nothing is cut, so nothing is pulled back, and
// the slot goes on pushing with the extruder.
TEST_F(PrintRoad, ASameSlotBlockPullsNothingBack) {
  host_.save("value_t0", "'slot0'");
  host_.save("value_t1", "'slot0'");
  ASSERT_TRUE(print({"G90", "M83", "EXTRUDER_LOAD SLOT=slot0", "G1 E60 F300"}));
  const double tip = strand(0).tip_mm;
  ASSERT_TRUE(print({"TOOL_CHANGE_START F=0 T=1", "CUT_FILAMENT T=0", "EXTRUDER_UNLOAD SLOT=slot0",
                     "EXTRUDER_LOAD SLOT=slot1", "TOOL_CHANGE_END"}))
      << testing::PrintToString(host_.output());
  EXPECT_EQ(strand(0).tip_mm, tip);
  EXPECT_TRUE(host_.world().world().loose_pieces().empty()) << "nothing cut";
  EXPECT_EQ(host_.lane(0).extruder_stepper().synced_extruder(), "extruder");
}

// A jam in the middle of a print: the extruder goes on extruding, the box's motion sensor
// sees the filament stand still, and the print pauses, saying why.
TEST_F(PrintRoad, AJamInTheMiddleOfAPrintPausesItWithItsReason) {
  EXPECT_FALSE(print({"G28", "G90", "M83", "EXTRUDER_LOAD SLOT=slot0", "G1 E80 F300",
                      "G1 X50 Y50 E5 F3000", "SIM_FAULT SLOT=0 KIND=jam", "G1 E20 F300",
                      "G1 E20 F300", "G1 E20 F300", "G1 X60 Y60 F3000"}));
  EXPECT_THAT(testing_support::without_advice(host_.output()),
              testing::Contains("!!Code:ZKE_004_024; Message:The filament of 1A stopped moving "
                                "while the extruder printed."));
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_024_0"));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot0")) << "the strand is still in the extruder";
}

// A print that ends inside a same-slot block, however it ends, gives the moves and heater
// waits back: the next print is not swallowed.
TEST_F(PrintRoad, APrintEndingInsideASameSlotBlockEndsTheBlock) {
  host_.save("value_t0", "'slot0'");
  host_.save("value_t1", "'slot0'");
  const std::vector<std::vector<std::string>> endings = {
      {"TOOL_CHANGE_START F=0 T=1", "G1 X100 Y100 F3000"},  // the file ends in the block
      {"TOOL_CHANGE_START F=0 T=1", "EXTRUDER_UNLOAD"},     // a line fails
  };
  for (const auto& ending : endings) {
    print(ending);
    host_.host().advance(2.0);
    EXPECT_FALSE(host_.hub().tool_change().exclude_tool()) << ending.back();
    EXPECT_EQ(host_.variable("is_tool_change"), Value(0)) << ending.back();
    EXPECT_TRUE(host_.toolhead().get_extruder().get_heater().can_wait()) << ending.back();
    ASSERT_TRUE(print({"G90", "G1 X20 Y30 F6000"}));
    EXPECT_EQ(host_.toolhead().get_position()[0], 20.) << ending.back();
    EXPECT_EQ(host_.toolhead().get_position()[1], 30.) << ending.back();
  }
  // Cancelled while paused inside the block.
  auto& job = host_.host().printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
  EXPECT_FALSE(print({"TOOL_CHANGE_START F=0 T=1", "PAUSE", "G1 X1 F3000"}));
  host_.command("CANCEL_PRINT");
  // What the user sends right after the cancel moves the head.
  host_.command("G90");
  host_.command("G1 X120 Y140 F6000");
  host_.command("M400");
  EXPECT_EQ(host_.toolhead().get_position()[0], 120.);
  EXPECT_EQ(host_.toolhead().get_position()[1], 140.);
  host_.host().advance(0.1);
  EXPECT_FALSE(job.is_active());
  EXPECT_FALSE(host_.hub().tool_change().exclude_tool());
  EXPECT_EQ(host_.variable("is_tool_change"), Value(0));
  ASSERT_TRUE(print({"G90", "G1 X40 Y50 F6000"}));
  EXPECT_EQ(host_.toolhead().get_position()[0], 40.);
  // A block between two slots, cancelled: the flag does not outlive the print either.
  host_.save("value_t2", "'slot1'");
  EXPECT_FALSE(print({"TOOL_CHANGE_START F=0 T=2", "PAUSE", "G1 X1 F3000"}));
  ASSERT_EQ(host_.variable("is_tool_change"), Value(1));
  host_.command("CANCEL_PRINT");
  host_.host().advance(2.0);
  EXPECT_EQ(host_.variable("is_tool_change"), Value(0));
  // A block the print's end cut short changed nothing.
  for (const std::string& line : host_.output())
    EXPECT_EQ(line.find("Changed"), std::string::npos) << line;
}

}  // namespace
