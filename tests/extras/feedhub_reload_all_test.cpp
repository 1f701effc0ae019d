// RELOAD_ALL in a box with card readers and the filament world: new spools are pulled in
// one after the other from the given slot on, their tags read on the way.
#include <gtest/gtest.h>

#include <algorithm>

#include "klippy/host/gcode.h"
#include "sim/host/print_stats.h"
#include "tests/extras/feedtag_fixture.h"

namespace {

using feedlane_test::kGeometry;
using feedlane_test::kParkMm;
using feedtag_test::TagHost;
using klippy::Value;

class ReloadAll : public ::testing::Test {
 protected:
  void SetUp() override {
    tags_.start({.world = true});
    lanes().save("box_count", "1");
    // The spools go in first; the test loads them.
    lanes().hub().sensors().set_can_load_slot(false);
    tags_.host().advance(0.5);
  }
  feedlane_test::LaneHost& lanes() { return tags_.lanes(); }
  sim::StrandState strand(int slot) {
    return lanes().world().world().strand(slot, lanes().print_time());
  }
  void insert(int slot, const std::string& filament) {
    lanes().command("SIM_SPOOL SLOT=" + std::to_string(slot) +
                    " ACTION=insert FILAMENT=" + filament);
    tags_.host().advance(0.2);
  }
  // Runs `script` to its end; returns the slots in the order their strands reached the
  // box outlet.
  std::vector<int> run_recording_arrivals(const std::string& script) {
    std::vector<int> arrivals;
    auto& gcode = tags_.host().printer().lookup_object<klippy::GCodeDispatch>("gcode");
    lanes().run_task([&] { gcode.run_script(script); },
                     [&] {
                       for (int slot = 0; slot < 4; ++slot) {
                         if (strand(slot).present &&
                             strand(slot).tip_mm >= kGeometry.outlet_mm - 5 &&
                             std::find(arrivals.begin(), arrivals.end(), slot) == arrivals.end())
                           arrivals.push_back(slot);
                       }
                     });
    for (int slot = 0; slot < 4; ++slot) lanes().settle(slot);
    return arrivals;
  }

  TagHost tags_;
};

TEST_F(ReloadAll, NewSpoolsAreLoadedFromTheFirstSlotOnWrappingAndTheirTagsRead) {
  insert(3, "PETG");
  insert(0, "PLA");
  insert(1, "PETG");
  EXPECT_EQ(run_recording_arrivals("RELOAD_ALL FIRST=1"), (std::vector<int>{1, 3, 0}));
  for (int slot : {0, 1, 3}) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(tags_.variable("slot" + std::to_string(slot)), Value(1));
    // Parked, less the outlet endstop's delay (0.114 s at 80 mm/s).
    EXPECT_NEAR(strand(slot).tip_mm, kGeometry.outlet_mm - kParkMm, 10.);
  }
  // PLA is filament 1 of the table, PETG filament 2.
  EXPECT_EQ(tags_.variable("filament_slot0"), Value(1));
  EXPECT_EQ(tags_.variable("filament_slot1"), Value(2));
  EXPECT_EQ(tags_.variable("filament_slot3"), Value(2));
  EXPECT_TRUE(tags_.variable("filament_slot2").is_none());
  EXPECT_TRUE(lanes().hub().sensors().can_load_slot());
}

TEST_F(ReloadAll, AFirstSlotBeyondTheBoxesStillVisitsEverySlotOnce) {
  const auto refused = lanes().command("RELOAD_ALL FIRST=-1");
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_NE(refused[0].find("FIRST must have minimum of 0"), std::string::npos) << refused[0];
  insert(0, "PLA");
  insert(2, "PLA");
  // Slot 6 of a one-box printer stands for slot 2.
  EXPECT_EQ(run_recording_arrivals("RELOAD_ALL FIRST=6"), (std::vector<int>{2, 0}));
}

TEST_F(ReloadAll, WithoutTagReadingTheSpoolsAreLoadedOnly) {
  lanes().save("auto_read_rfid", "0");
  insert(2, "PETG");
  EXPECT_EQ(run_recording_arrivals("RELOAD_ALL"), std::vector<int>{2});
  EXPECT_EQ(tags_.variable("slot2"), Value(1));
  EXPECT_TRUE(tags_.variable("filament_slot2").is_none());
}

TEST_F(ReloadAll, AFailedLoadEndsTheCommandAndFreesTheBox) {
  insert(0, "PLA");
  insert(1, "PLA");
  lanes().command("SIM_FAULT SLOT=0 KIND=jam");
  run_recording_arrivals("RELOAD_ALL");
  EXPECT_EQ(tags_.variable("slot0"), Value(-1));
  EXPECT_EQ(tags_.variable("slot1"), Value(3)) << "not tried after the failure";
  EXPECT_TRUE(lanes().hub().sensors().can_load_slot());
}

TEST_F(ReloadAll, FilamentAtTheOutletIsPushedOnAndLeftForTheNextLoad) {
  insert(0, "PLA");
  lanes().run_task([&] { lanes().lane(0).do_move(kGeometry.outlet_mm + 20, 80); });
  lanes().settle(0);
  tags_.host().advance(0.2);
  ASSERT_EQ(lanes().hub().sensors().b_endstop_state(), 0);
  const double tip = strand(0).tip_mm;
  lanes().command("RELOAD_ALL FIRST=0");
  lanes().settle(0);
  EXPECT_NEAR(strand(0).tip_mm - tip, 50., 1e-6);
  EXPECT_EQ(tags_.variable("slot0"), Value(3));
  EXPECT_TRUE(lanes().hub().sensors().can_load_slot());
}

TEST_F(ReloadAll, NothingHappensWhilePrinting) {
  insert(0, "PLA");
  tags_.host().printer().lookup_object<sim::SimPrintStats>("print_stats").note_start("a.gcode");
  EXPECT_TRUE(run_recording_arrivals("RELOAD_ALL").empty());
  EXPECT_EQ(tags_.variable("slot0"), Value(3));
}

TEST_F(ReloadAll, ASpoolInsertedWhileTheBoxMayLoadIsPulledInAtOnce) {
  lanes().hub().sensors().set_can_load_slot(true);
  insert(2, "PETG");
  lanes().settle(2);
  tags_.host().advance(1.0);
  EXPECT_EQ(tags_.variable("slot2"), Value(1));
  EXPECT_EQ(tags_.variable("filament_slot2"), Value(2));
}

}  // namespace
