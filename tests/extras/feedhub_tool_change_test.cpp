// The slicer's tool-change block and the head paths at the cutter, against the simulated
// printer: which moves reach the toolhead, and what the filament world does with them.
#include <gtest/gtest.h>

#include "klippy/extras/feedhub/tool_change.h"
#include "tests/extras/feedlane_fixture.h"

namespace {

using feedlane_test::LaneHost;
using klippy::Value;

class ToolChangeBlock : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.start({.world = true}, "[Variables]\nbox_count = 1\n");
    host_.toolhead().add_move_observer(
        [this](const klippy::Position& start, const klippy::Position& end, double) {
          moves_.push_back({start, end});
        });
    host_.command("G28");
    host_.command("G1 X10 Y10 F6000");
    host_.host().advance(1.0);
    moves_.clear();
  }
  feedhub::ToolChange& tool_change() { return host_.hub().tool_change(); }
  bool heater_can_wait() { return host_.toolhead().get_extruder().get_heater().can_wait(); }
  std::vector<double> ys() {
    std::vector<double> result;
    for (const auto& move : moves_) result.push_back(move.second[1]);
    return result;
  }

  LaneHost host_;
  std::vector<std::pair<klippy::Position, klippy::Position>> moves_;
};

TEST_F(ToolChangeBlock, SameSlotChangeSwallowsTheBlockAndResumesFromTheRealPosition) {
  host_.save("value_t0", "'slot2'");
  host_.save("value_t1", "'slot2'");
  host_.command("TOOL_CHANGE_START F=0 T=1");
  EXPECT_EQ(host_.variable("is_tool_change"), Value(1));
  EXPECT_TRUE(tool_change().exclude_tool());
  EXPECT_FALSE(heater_can_wait());
  ASSERT_EQ(moves_.size(), 1u) << "to the trash";
  const klippy::Position trash = moves_[0].second;
  moves_.clear();

  host_.command("G1 X100 Y100 E5 F6000");
  // Slot 0 holds no filament: a load that ran would report it and pause.
  EXPECT_TRUE(host_.command("EXTRUDER_LOAD SLOT=slot0").empty());
  EXPECT_TRUE(host_.command("EXTRUDER_UNLOAD SLOT=slot0").empty());
  EXPECT_TRUE(moves_.empty());
  EXPECT_EQ(host_.variable("slot0"), Value(0)) << "unchanged since start-up";

  host_.command("TOOL_CHANGE_END");
  EXPECT_EQ(host_.variable("is_tool_change"), Value(0));
  EXPECT_FALSE(tool_change().exclude_tool());
  EXPECT_TRUE(heater_can_wait());
  host_.command("G1 X20 F6000");
  ASSERT_EQ(moves_.size(), 1u);
  EXPECT_EQ(moves_[0].first, trash);
  EXPECT_EQ(moves_[0].second, (klippy::Position{20, trash[1], 0, 0}));
}

TEST_F(ToolChangeBlock, ASecondStartDoesNotStackSoOneEndRestoresMotion) {
  host_.save("value_t0", "'slot1'");
  host_.save("value_t1", "'slot1'");
  host_.command("TOOL_CHANGE_START F=0 T=1");
  host_.command("TOOL_CHANGE_START F=1 T=0");
  host_.command("TOOL_CHANGE_END");
  moves_.clear();
  host_.command("G1 X30 F6000");
  ASSERT_EQ(moves_.size(), 1u);
  EXPECT_EQ(moves_[0].second[0], 30.);
  // An end without a block only records that no tool change runs.
  host_.command("TOOL_CHANGE_END");
  EXPECT_EQ(host_.variable("is_tool_change"), Value(0));
}

TEST_F(ToolChangeBlock, ToolsOfDifferentSlotsSwallowNothing) {
  // Without saved mappings tool n is slot n.
  host_.command("TOOL_CHANGE_START F=0 T=1");
  EXPECT_EQ(host_.variable("is_tool_change"), Value(1));
  EXPECT_FALSE(tool_change().exclude_tool());
  host_.command("G1 X40 F6000");
  EXPECT_EQ(moves_.size(), 1u);
  // Without parameters the keys of tools -1 and -2 differ as well.
  host_.command("TOOL_CHANGE_START");
  EXPECT_FALSE(tool_change().exclude_tool());
}

TEST_F(ToolChangeBlock, TheCutterApproachKeepsTheHeadInsideTheSafeBand) {
  host_.save("slot0", "1");  // holds filament
  const std::vector<double> cut_strokes{4.5, 8., 4.3, 20.};
  auto cut_from = [&](double y) {
    host_.command("G1 X100 Y" + std::to_string(y) + " F6000");
    moves_.clear();
    host_.command("CUT_FILAMENT T=0");
    return ys();
  };
  std::vector<double> expected{300., 300., 20.};
  expected.insert(expected.end(), cut_strokes.begin(), cut_strokes.end());
  EXPECT_EQ(cut_from(310.), expected);
  expected = {25., 25., 20.};
  expected.insert(expected.end(), cut_strokes.begin(), cut_strokes.end());
  EXPECT_EQ(cut_from(10.), expected);
  // On the band's edges the head goes straight across.
  expected = {300., 20.};
  expected.insert(expected.end(), cut_strokes.begin(), cut_strokes.end());
  EXPECT_EQ(cut_from(300.), expected);
  expected = {25., 20.};
  expected.insert(expected.end(), cut_strokes.begin(), cut_strokes.end());
  EXPECT_EQ(cut_from(25.), expected);
}

TEST_F(ToolChangeBlock, AnEmptySlotIsNotCut) {
  host_.save("slot3", "0");
  host_.save("value_t1", "'slot3'");
  host_.command("CUT_FILAMENT T=1");
  EXPECT_TRUE(moves_.empty());
}

TEST_F(ToolChangeBlock, TheWipePathsRunTheirFixedStrokes) {
  host_.command("G1 X90 Y310 F6000");
  moves_.clear();
  host_.command("CLEAR_OOZE");
  EXPECT_EQ(ys(), (std::vector<double>{310, 318, 318, 324, 318, 324, 324}));
  moves_.clear();
  host_.command("CLEAR_FLUSH");
  ASSERT_EQ(moves_.size(), 33u);
  EXPECT_EQ(moves_.back().second[0], 95.);
  EXPECT_EQ(moves_.back().second[1], 324.);
}

}  // namespace
