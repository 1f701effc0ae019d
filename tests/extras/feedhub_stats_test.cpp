// BOX_STATS on the embedded printer: each slot's extruder loads and unloads, failures by
// code, retries and forward feed are counted where the operations end, reach the saved
// variables with saves the box makes anyway, survive a restart and start again on reset.
#include <gtest/gtest.h>

#include "tests/extras/feedhub_session_fixture.h"

namespace {

using box_session::BoxSession;
using box_session::mentions;
using klippy::Value;
using Lines = std::vector<std::string>;

std::string variables_file(BoxSession& box) {
  return testing_support::read_file(
      box.host().printer().resolve_path("/home/zur/printer_data/config/saved_variables.cfg"));
}

std::string line_of(const Lines& lines, const std::string& start) {
  for (const std::string& line : lines)
    if (line.rfind(start, 0) == 0) return line;
  return "";
}

TEST(BoxStats, CountsWhatEachSlotDidAndKeepsItAcrossARestart) {
  BoxSession box;
  box.command("EXTRUDER_LOAD SLOT=slot0");
  box.command("EXTRUDER_UNLOAD SLOT=slot0");
  box.command("SIM_FAULT SLOT=1 KIND=jam");
  ASSERT_TRUE(mentions(box.command("EXTRUDER_LOAD SLOT=slot1"), "Code:ZKE_004_"));
  // "ZKE_004_006"
  const std::string code = box.status("feedhub").find("last_error")->find("code")->as_string();
  box.command("SIM_FAULT SLOT=1 KIND=clear");
  box.command("TRY_MOVE_AGAIN");
  ASSERT_EQ(box.variable("slot1"), Value(2));

  // Each count is in the file: a restart reads it back.
  EXPECT_EQ(box.variable("stats_loads_slot0"), Value(1));
  EXPECT_EQ(box.variable("stats_unloads_slot0"), Value(1));
  EXPECT_EQ(box.variable("stats_loads_slot1"), Value(1)) << "the retried load succeeded";
  EXPECT_EQ(box.variable("stats_retries_slot1"), Value(1));
  const std::string failure_key = "stats_fail_" + code.substr(8) + "_slot1";
  EXPECT_EQ(box.variable(failure_key), Value(1)) << failure_key;
  // A load pushes the strand from the box through the tube into the extruder: metres.
  EXPECT_GT(box.variable("stats_fed_mm_slot0").as_int(), 1000);
  EXPECT_TRUE(box.variable("stats_loads_slot2").is_none()) << "only counts above 0 are saved";

  BoxSession restarted(1, variables_file(box));
  const Lines stats = restarted.command("BOX_STATS");
  EXPECT_EQ(line_of(stats, "// 1A ").substr(0, 38), "// 1A    1      1        0        0   ")
      << testing::PrintToString(stats);
  EXPECT_TRUE(mentions(stats, code + " x1")) << testing::PrintToString(stats);
  EXPECT_TRUE(mentions(stats, "// Total: 2 loads, 1 unloads, 1 failures, 1 retries, 0 runouts"))
      << testing::PrintToString(stats);

  EXPECT_EQ(restarted.command("BOX_STATS RESET=1"),
            Lines{"// Box statistics reset: every slot counts from 0 again"});
  EXPECT_EQ(variables_file(restarted).find("stats_"), std::string::npos);
  EXPECT_EQ(restarted.command("BOX_STATS"),
            Lines{"// No statistics yet: nothing was loaded, unloaded or fed since they were "
                  "reset"});
  EXPECT_TRUE(mentions(restarted.command("BOX_STATS RESET=2"), "RESET must have maximum of 1"));
}

// A move that saves nothing leaves the file alone; its feed is shown at once and rides along
// with the next save.
TEST(BoxStats, FeedIsSavedWithTheNextSaveNotByTheMove) {
  BoxSession box;
  box.command("EXTRUDER_LOAD SLOT=slot2");
  box.command("EXTRUDER_UNLOAD SLOT=slot2");
  const long long fed_mm = box.variable("stats_fed_mm_slot2").as_int();
  const std::string before = variables_file(box);
  EXPECT_FALSE(mentions(box.command("SLOT_PROMPT_MOVE SLOT=slot2"), "!!"));
  EXPECT_EQ(variables_file(box), before);
  // The nudge pushes 20 mm forward before it pulls back.
  char metres[32];
  std::snprintf(metres, sizeof metres, "%.2f m", static_cast<double>(fed_mm + 20) / 1000.0);
  const std::string shown = line_of(box.command("BOX_STATS"), "// 1C ");
  EXPECT_NE(shown.find(metres), std::string::npos) << shown << " lacks " << metres;

  box.command("BOX_MAP_TOOL T=5 SLOT=1C");
  EXPECT_GT(box.variable("stats_fed_mm_slot2").as_int(), fed_mm);
  EXPECT_EQ(box.variable("stats_loads_slot2"), Value(1));
}

}  // namespace
