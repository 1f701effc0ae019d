#include <gtest/gtest.h>

#include <sstream>

#include "klippy/extras/feedhub/colour_table.h"
#include "klippy/extras/feedhub/print_plan.h"
#include "tests/extras/feedhub_fixture.h"

namespace {

using feedhub_test::BoxHost;

constexpr const char* kPrintFolder = "/home/zur/printer_data/gcodes";

feedhub::PrintPlan plan_of(const std::string& text) {
  std::istringstream in(text);
  return feedhub::read_print_plan(in);
}

TEST(FeedhubPrintPlan, FindsTheToolsOfToolChangeBlocksAndToolLines) {
  const auto plan = plan_of(
      "; T7 in a comment is no tool\nT0\nG1 X10 E1\nTOOL_CHANGE_START F=0 T=2\nCUT_FILAMENT T=0\n"
      "TOOL_CHANGE_END\nLOAD_TOOL T=6\nt3 ; lower case "
      "too\nTIMELAPSE_TAKE_FRAME\nT99\nTOOL_CHANGE_START F=-1 "
      "T=5\n");
  EXPECT_EQ(plan.tools, (std::set<int>{0, 2, 3, 5, 6}));
}

TEST(FeedhubPrintPlan, AnOverlongLineIsSkippedAndALongReadLetsOtherWorkRun) {
  // A tool word at the start of a line of 3 MiB: no slicer writes it, so it names no tool.
  const std::string huge = "T5 " + std::string(3 << 20, 'x');
  std::istringstream in("T1\n" + huge + "\nT2\n" + huge);
  int progress_calls = 0;
  const auto plan = feedhub::read_print_plan(in, [&] { ++progress_calls; });
  EXPECT_EQ(plan.tools, (std::set<int>{1, 2}));
  EXPECT_EQ(plan.overlong_lines, 2);
  EXPECT_EQ(plan.first_overlong_line, 2);
  EXPECT_NE(plan.overlong_lines_note().find("Skipped 2 lines longer than 64 KiB (the first is "
                                            "line 2)"),
            std::string::npos)
      << plan.overlong_lines_note();
  EXPECT_GE(progress_calls, 5) << "every MiB, within a line too";
  EXPECT_EQ(plan_of("T3\n" + std::string(feedhub::kMaxPlanLineBytes, ' ') + "\n").overlong_lines,
            0);
}

TEST(FeedhubPrintPlan, ReadsMaterialsAndColoursFromSlicerComments) {
  const auto plan = plan_of(
      "G1 X1 ; filament_type = ABS\n"
      "; filament_type = PLA;PETG;PLA\n"
      "; extruder_colour = \"\";#00ff00;\n"
      "; filament_colour = #FF0000;#0000FF;#FFFFFF80\r\n");
  EXPECT_EQ(plan.material_of(0), "PLA");
  EXPECT_EQ(plan.material_of(1), "PETG");
  EXPECT_EQ(plan.material_of(3), "");
  // The extruder colour wins where it is set; the filament's own colour fills the gaps.
  EXPECT_EQ(plan.colour_of(0), "#FF0000");
  EXPECT_EQ(plan.colour_of(1), "#00FF00");
  EXPECT_EQ(plan.colour_of(2), "#FFFFFF");
}

TEST(FeedhubColourTable, CodesAndHexColours) {
  EXPECT_EQ(feedhub::hex_colour(feedhub::colour_by_code(3)->rgb), "#FF0000");
  EXPECT_FALSE(feedhub::colour_by_code(0));
  EXPECT_FALSE(feedhub::colour_by_code(25));
  EXPECT_FALSE(feedhub::parse_hex_colour("#12345"));
  EXPECT_FALSE(feedhub::parse_hex_colour("#GG0000"));
  EXPECT_NEAR(feedhub::colour_distance({0, 0, 0}, {255, 255, 255}), 441.67, 0.01);
}

class FeedhubPreflight : public ::testing::Test {
 protected:
  // Slots 0 to 2 hold filament, slot 3 is empty.
  void start(const std::string& variables) {
    testing_support::write_file(box_.test().path(feedhub::kFilamentTablePath),
                                "[fila1]\nname: PLA\n[fila2]\nname: PETG\n");
    box_.start(feedhub_test::box_config(std::string("[virtual_sdcard]\npath: ") + kPrintFolder +
                                        "\n[feedlane slot0]\n[feedlane slot1]\n"
                                        "[feedlane slot2]\n[feedlane slot3]\nrunout: 1\n"),
               "[Variables]\nslot0 = 1\nslot1 = 1\nslot2 = 1\nslot3 = 0\n" + variables);
  }
  void write_print(const std::string& name, const std::string& text) {
    testing_support::write_file(box_.test().path(std::string(kPrintFolder) + "/" + name), text);
  }
  std::string run(const std::string& line) {
    std::string text;
    for (const std::string& out : box_.test().command(line)) text += out + "\n";
    return text;
  }

  BoxHost box_;
};

constexpr const char* kTwoColourPrint =
    "; filament_type = PLA;PETG\n; filament_colour = #FF0000;#FFFFFF\n"
    "T0\nG1 X1 E1\nTOOL_CHANGE_START F=0 T=1\nTOOL_CHANGE_END\n";

TEST_F(FeedhubPreflight, AMatchingBoxIsReadyAndAColourWithinToleranceMatches) {
  start("filament_slot0 = 1\ncolor_slot0 = 3\nfilament_slot1 = 2\ncolor_slot1 = 24\n");
  write_print("two.gcode", kTwoColourPrint);
  const std::string out = run("BOX_PREFLIGHT FILE=two.gcode");
  EXPECT_NE(out.find("Pre-flight: OK: T0, T1 ready as planned"), std::string::npos) << out;
  EXPECT_NE(out.find("PETG"), std::string::npos) << out;
  EXPECT_EQ(out.find("!!"), std::string::npos) << out;
  // The leading slash of a host path is the print folder's root, as for SDCARD_PRINT_FILE.
  EXPECT_NE(run("BOX_PREFLIGHT FILE=/two.gcode").find("Pre-flight: OK"), std::string::npos);
}

TEST_F(FeedhubPreflight, AWrongMaterialOrColourNamesToolSlotAndWhatToDo) {
  start("filament_slot0 = 2\ncolor_slot0 = 3\nfilament_slot1 = 2\ncolor_slot1 = 2\n");
  write_print("two.gcode", kTwoColourPrint);
  const std::string out = run("BOX_PREFLIGHT FILE=two.gcode");
  EXPECT_NE(out.find("T0 (slot 1A) holds PETG but the print plans PLA: load PLA into slot 1A"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("T1 (slot 1B) holds black #000000 but the print plans #FFFFFF"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Pre-flight: FAIL: T0, T1 not ready"), std::string::npos) << out;
  // Warning only, unless the user chose to refuse.
  EXPECT_EQ(out.find("!!"), std::string::npos) << out;
  EXPECT_NE(run("BOX_PREFLIGHT FILE=two.gcode ON_FAIL=error").find("!! Pre-flight: FAIL"),
            std::string::npos);
  // A wide enough tolerance takes black for white.
  EXPECT_EQ(run("BOX_PREFLIGHT FILE=two.gcode TOLERANCE=442").find("T1 (slot 1B) holds black"),
            std::string::npos);
}

// Tags store the nearest box colour: pure blue and green are read back as the box's blue
// and green, far from the slicer's #0000FF and #00FF00, and still the planned spools. A
// mismatch names the slot that holds what the print plans.
TEST_F(FeedhubPreflight, ASlotTaggedWithTheNearestBoxColourMatchesAndAMismatchNamesTheRightSlot) {
  const int blue = feedhub::nearest_colour({0, 0, 255}).code;
  const int green = feedhub::nearest_colour({0, 255, 0}).code;
  ASSERT_GT(feedhub::colour_distance({0, 0, 255}, feedhub::colour_by_code(blue)->rgb), 80);
  start("filament_slot0 = 1\ncolor_slot0 = " + std::to_string(blue) +
        "\nfilament_slot1 = 1\ncolor_slot1 = " + std::to_string(green) + "\n");
  write_print("blue.gcode",
              "; filament_type = PLA;PLA\n; filament_colour = #0000FF;#00FF00\nT0\nT1\n");
  EXPECT_NE(run("BOX_PREFLIGHT FILE=blue.gcode").find("Pre-flight: OK"), std::string::npos);
  write_print("swapped.gcode", "; filament_type = PLA\n; filament_colour = #00FF00\nT0\n");
  EXPECT_NE(
      run("BOX_PREFLIGHT FILE=swapped.gcode").find("(slot 1B holds it: BOX_MAP_TOOL T=0 SLOT=1B)"),
      std::string::npos);
  // A front end reads the same check from the status, the slot to map to included.
  const klippy::Value status =
      *box_.host().printer().find_object("box_preflight")->get_status(box_.now());
  EXPECT_EQ(status.find("file")->as_string(), "swapped.gcode");
  EXPECT_EQ(status.find("verdict")->as_string(), "FAIL");
  const klippy::Value& tool0 = status.find("tools")->as_list().at(0);
  EXPECT_EQ(tool0.find("slot_label")->as_string(), "1A");
  EXPECT_EQ(tool0.find("planned_colour")->as_string(), "#00FF00");
  EXPECT_EQ(tool0.find("matching_slot_label")->as_string(), "1B");
}

// A spool described in the user's words is checked in them: its hex colour, however far from
// the nearest box colour, and its material by its own name or by the table's kin of it.
TEST_F(FeedhubPreflight, ASpoolDescribedInTheUsersWordsIsCheckedInThem) {
  start(
      "filament_slot0 = 1\ncolor_slot0 = 10\nhexcolor_slot0 = '#7A7A70'\nmaterial_slot0 = "
      "'PLA+'\n");
  write_print("silk.gcode",
              "; filament_type = PLA+;PLA\n; filament_colour = #7B7A70;#7B7A70\n"
              "T0\nLOAD_TOOL T=0\n");
  const std::string ok = run("BOX_PREFLIGHT FILE=silk.gcode TOLERANCE=2");
  EXPECT_NE(ok.find("Pre-flight: OK"), std::string::npos) << ok;
  // The box's grey (colour 10) is the nearest to both, yet the hex tells them apart.
  write_print("grey.gcode", "; filament_type = PLA+\n; filament_colour = #808080\nT0\n");
  const std::string grey = run("BOX_PREFLIGHT FILE=grey.gcode TOLERANCE=2");
  EXPECT_NE(grey.find("T0 (slot 1A) holds #7A7A70 but the print plans #808080"), std::string::npos)
      << grey;
  write_print("petg.gcode", "; filament_type = PETG\n; filament_colour = #7B7A70\nT0\n");
  const std::string petg = run("BOX_PREFLIGHT FILE=petg.gcode");
  EXPECT_NE(petg.find("T0 (slot 1A) holds PLA+ but the print plans PETG"), std::string::npos)
      << petg;
}

TEST_F(FeedhubPreflight, FollowsTheToolMapAndFindsAnEmptyOrUnmappedSlot) {
  start("value_t0 = 'slot3'\nvalue_t1 = 'slot7'\nvalue_t2 = 'nozzle'\n");
  write_print("three.gcode", "T0\nT1\nT2\n");
  const std::string out = run("BOX_PREFLIGHT FILE=three.gcode");
  EXPECT_NE(out.find("T0 (slot 1D) is empty: insert filament into slot 1D or map T0"),
            std::string::npos)
      << out;
  // The file plans nothing: no slot is offered in place of the empty one.
  EXPECT_EQ(out.find("holds it"), std::string::npos) << out;
  EXPECT_NE(out.find("T1 is mapped to slot7, which no [feedlane slot7] section configures"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("T2 is mapped to 'nozzle', which is not a slot"), std::string::npos) << out;
  EXPECT_NE(out.find("Pre-flight: FAIL: T0, T1, T2"), std::string::npos) << out;
}

TEST_F(FeedhubPreflight, WhatNobodyKnowsIsUnverifiedNotAFailure) {
  start("filament_slot1 = 1\ncolor_slot1 = 3\n");
  write_print("plain.gcode", "G1 X1 E1\n");
  std::string out = run("BOX_PREFLIGHT FILE=plain.gcode ON_FAIL=error");
  // No tool changes: tool 0 prints; the box knows nothing of slot 0's spool.
  EXPECT_NE(out.find("T0 (slot 1A): the box does not know its material"), std::string::npos) << out;
  EXPECT_NE(out.find("Pre-flight: UNVERIFIED: T0"), std::string::npos) << out;
  EXPECT_EQ(out.find("!!"), std::string::npos) << out;
  write_print("one.gcode", "T1\n");
  out = run("BOX_PREFLIGHT FILE=one.gcode");
  EXPECT_NE(out.find("the file does not say which material it plans for T1"), std::string::npos)
      << out;
}

TEST_F(FeedhubPreflight, ABadFileIsACommandErrorThatSaysWhatToGive) {
  start("");
  EXPECT_NE(run("BOX_PREFLIGHT").find("!! Error on 'BOX_PREFLIGHT': missing FILE"),
            std::string::npos)
      << run("BOX_PREFLIGHT");
  EXPECT_NE(run("BOX_PREFLIGHT FILE=missing.gcode")
                .find("!! BOX_PREFLIGHT: no file 'missing.gcode' in the print folder"),
            std::string::npos);
  EXPECT_NE(run("BOX_PREFLIGHT FILE=../config/printer.cfg").find("leaves the print folder"),
            std::string::npos);
  write_print("sub/a.gcode", "T0\n");
  EXPECT_NE(run("BOX_PREFLIGHT FILE=sub").find("!! BOX_PREFLIGHT: no file 'sub'"),
            std::string::npos);
  EXPECT_NE(run("BOX_PREFLIGHT FILE=sub/a.gcode ON_FAIL=stop").find("must be warn or error"),
            std::string::npos);
}

TEST_F(FeedhubPreflight, ALargeFileIsReadToTheEndWithTheHostRunningMeanwhile) {
  start("filament_slot2 = 1\ncolor_slot2 = 3\n");
  std::string text = "; filament_type = PLA;PLA;PLA\n";
  for (int i = 0; i < 120000; ++i) text += "G1 X10.000 Y10.000 E0.01234\n";
  write_print("big.gcode", text + "T2\n; extruder_colour = #FF0000;#FF0000;#FF1010\n");
  const std::string out = run("BOX_PREFLIGHT FILE=big.gcode");
  EXPECT_NE(out.find("Pre-flight: OK: T2 ready as planned"), std::string::npos) << out;
}

}  // namespace
