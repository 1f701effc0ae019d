// The one line a slot operation says when it succeeds: which slot, and how long it took
// until its last move ended; a failed operation says its error and nothing else.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/host/print_stats.h"
#include "tests/extras/feedlane_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedlane_test::LaneHost;
using klippy::Value;
using testing::ElementsAre;
using testing::IsEmpty;
using testing_support::success_lines;
using testing_support::success_seconds;
using testing_support::SuccessLine;
using Lines = std::vector<std::string>;

class SuccessLines : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.start({.world = true}, "[Variables]\nbox_count = 1\nauto_read_rfid = 0\n");
    host_.host().advance(0.5);
  }
  void insert(int slot) {
    host_.command("SIM_SPOOL SLOT=" + std::to_string(slot) + " ACTION=insert");
    host_.host().advance(0.2);
  }
  // Runs a console line and lets the slot's queued moves end; `took` is the time from the
  // command to the end of the last move.
  Lines command(const std::string& line, int slot, double* took = nullptr) {
    const double start = host_.now();
    Lines lines = host_.command(line);
    const double moves_end =
        host_.now() + std::max(0.0, host_.lane(slot).next_cmd_time() - host_.print_time());
    if (took) *took = moves_end - start;
    host_.settle(slot);
    return lines;
  }

  LaneHost host_;
};

TEST_F(SuccessLines, EachLoadAndUnloadNamesItsSlotAndLastsUntilItsLastMove) {
  insert(1);
  double took = 0;
  const Lines loaded = command("RELOAD_ALL", 1, &took);
  ASSERT_THAT(loaded, ElementsAre(SuccessLine("Loaded 1B into the box")));
  // Said when the park behind the outlet is queued, timed to its end.
  EXPECT_NEAR(success_seconds(loaded[0]), took, 0.1);
  EXPECT_GT(took, 3.) << "home, two probes and the park";

  const Lines in_extruder = command("EXTRUDER_LOAD SLOT=slot1", 1, &took);
  ASSERT_THAT(in_extruder, ElementsAre(SuccessLine("Loaded 1B into the extruder")));
  EXPECT_NEAR(success_seconds(in_extruder[0]), took, 0.1);

  host_.command("M83");
  host_.command("G1 E100 F300");
  host_.command("M400");
  const Lines out_of_extruder = command("EXTRUDER_UNLOAD SLOT=slot1", 1, &took);
  ASSERT_THAT(out_of_extruder, ElementsAre(SuccessLine("Unloaded 1B from the extruder")));
  EXPECT_NEAR(success_seconds(out_of_extruder[0]), took, 0.1);

  const Lines to_sensor = command("SLOT_UNLOAD SLOT=slot1", 1, &took);
  ASSERT_THAT(to_sensor, ElementsAre(SuccessLine("Unloaded 1B to its sensor")));
  EXPECT_NEAR(success_seconds(to_sensor[0]), took, 0.1);
  EXPECT_EQ(host_.variable("slot1"), Value(0));
}

TEST_F(SuccessLines, AReloadOfSeveralSlotsSumsThemUpAfterTheirOwnLines) {
  insert(0);
  insert(2);
  const Lines lines = command("RELOAD_ALL", 2);
  EXPECT_THAT(lines, ElementsAre(SuccessLine("Loaded 1A into the box"),
                                 SuccessLine("Loaded 1C into the box"),
                                 SuccessLine("Reloaded the box", "loaded 1A, 1C")));
  // The reload ends with the last park, not before it; the next slot starts while the park
  // before it still runs.
  const double first = success_seconds(lines[0]), second = success_seconds(lines[1]);
  EXPECT_GT(success_seconds(lines[2]), std::max(first, second));
  EXPECT_LT(success_seconds(lines[2]), first + second);
}

TEST_F(SuccessLines, AJamFailsTheLoadWithItsErrorAndNoSuccessLine) {
  insert(0);
  host_.command("SIM_FAULT SLOT=0 KIND=jam");
  const Lines reload = command("RELOAD_ALL", 0);
  EXPECT_THAT(success_lines(reload), IsEmpty()) << testing::PrintToString(reload);
  ASSERT_FALSE(reload.empty());
  const Lines reported = testing_support::without_advice(reload);
  EXPECT_EQ(reported.back().rfind("!!Code:ZKE_004_001;", 0), 0u) << reported.back();

  host_.command("SIM_FAULT SLOT=0 KIND=clear");
  host_.save("slot0", "3");
  ASSERT_THAT(command("RELOAD_ALL", 0), ElementsAre(SuccessLine("Loaded 1A into the box")));
  host_.command("SIM_FAULT SLOT=0 KIND=jam");
  const Lines load = command("EXTRUDER_LOAD SLOT=slot0", 0);
  EXPECT_THAT(success_lines(load), IsEmpty()) << testing::PrintToString(load);
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_006_0"));
}

TEST_F(SuccessLines, ACommandRefusedBeforeItsFirstMoveSaysNoSuccess) {
  // Nothing at the slot: the load asks for filament (and pauses).
  const Lines empty_slot = command("EXTRUDER_LOAD SLOT=slot3", 3);
  EXPECT_THAT(success_lines(empty_slot), IsEmpty()) << testing::PrintToString(empty_slot);
  // Nothing in the extruder: the unload reports so.
  insert(0);
  ASSERT_THAT(command("RELOAD_ALL", 0), ElementsAre(SuccessLine("Loaded 1A into the box")));
  const Lines not_loaded = command("EXTRUDER_UNLOAD SLOT=slot0", 0);
  EXPECT_EQ(testing_support::without_advice(not_loaded),
            Lines{"// Code:ZKE_004_007; Message:Extruder not loaded."});
  // Nothing at the slot sensor: the unload says there is nothing to unload.
  const Lines nothing = command("SLOT_UNLOAD SLOT=slot2", 2);
  EXPECT_THAT(success_lines(nothing), IsEmpty()) << testing::PrintToString(nothing);
}

// Each slot answers to its label (either case), its name and its number, in every command.
TEST_F(SuccessLines, ASlotAnswersToItsLabelItsNameAndItsNumber) {
  insert(1);
  ASSERT_THAT(command("RELOAD_ALL", 1), ElementsAre(SuccessLine("Loaded 1B into the box")));
  EXPECT_THAT(command("EXTRUDER_LOAD SLOT=1b", 1),
              ElementsAre(SuccessLine("Loaded 1B into the extruder")));
  EXPECT_THAT(command("EXTRUDER_UNLOAD SLOT=1", 1),
              ElementsAre(SuccessLine("Unloaded 1B from the extruder")));
  EXPECT_THAT(command("RUN_STEPPER STEPPER=1B", 1), IsEmpty());
  EXPECT_THAT(command("SLOT_UNLOAD SLOT=slot1", 1),
              ElementsAre(SuccessLine("Unloaded 1B to its sensor")));
  EXPECT_THAT(host_.command("E_BOX SLOT=1E"),
              ElementsAre(testing::HasSubstr("E_BOX: SLOT=1E names no slot")));
}

TEST_F(SuccessLines, AToolChangeWithAFailedStepSaysNoChange) {
  host_.command("TOOL_CHANGE_START F=0 T=1");
  // Nothing in the extruder: the unload of the block fails.
  const Lines unload = command("EXTRUDER_UNLOAD SLOT=slot0", 0);
  ASSERT_EQ(testing_support::without_advice(unload),
            Lines{"// Code:ZKE_004_007; Message:Extruder not loaded."});
  EXPECT_THAT(host_.command("TOOL_CHANGE_END"), IsEmpty());
  // A block without errors whose load never ran changed nothing either, and says so.
  host_.command("TOOL_CHANGE_START F=1 T=0");
  EXPECT_THAT(host_.command("TOOL_CHANGE_END"),
              ElementsAre("// The tool change to T0 ended, but 1A is not in the extruder (no "
                          "slot is loaded, the extruder entry is empty); load it with T0 "
                          "before printing on."));
  // The next block that loads its tool is a change again.
  insert(0);
  command("RELOAD_ALL", 0);
  host_.command("TOOL_CHANGE_START F=1 T=0");
  command("EXTRUDER_LOAD SLOT=slot0", 0);
  EXPECT_THAT(host_.command("TOOL_CHANGE_END"),
              ElementsAre(SuccessLine("Changed from T1 (1B) to T0 (1A)")));
  // An end without a start changed nothing.
  EXPECT_THAT(host_.command("TOOL_CHANGE_END"), IsEmpty());
}

TEST_F(SuccessLines, ANudgeLastsAsLongAsItsMovesThere) {
  insert(0);
  // Waiting at its sensor, not parked: nothing moves, and the user is told why.
  EXPECT_THAT(command("SLOT_PROMPT_MOVE SLOT=slot0", 0),
              ElementsAre(testing::HasSubstr("1A is not parked in the box")));
  ASSERT_THAT(command("RELOAD_ALL", 0), ElementsAre(SuccessLine("Loaded 1A into the box")));
  double took = 0;
  const Lines lines = command("SLOT_PROMPT_MOVE SLOT=slot0", 0, &took);
  ASSERT_THAT(lines, ElementsAre(SuccessLine("Nudged 1A")));
  EXPECT_NEAR(success_seconds(lines[0]), took, 0.1);
  EXPECT_GT(took, 1.) << "20 mm out and back at 50 mm/s, and the pause between";
}

}  // namespace
