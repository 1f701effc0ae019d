// Before box detection has saved box_count, the box works with the boxes whose slot feeders
// are configured; a saved box_count still decides once it is there.
#include <gtest/gtest.h>

#include "tests/extras/feedlane_fixture.h"

namespace {

using feedlane_test::LaneHost;
using klippy::Value;

constexpr const char* kPrinterMacros =
    "[gcode_macro DISABLE_ALL_SENSOR]\ngcode:\n"
    "    SET_FILAMENT_SENSOR SENSOR=box_motion_sensor ENABLE=0\n";

class BoxCount : public ::testing::Test {
 protected:
  // `boxes` boxes' worth of slots (all through one outlet); a spool inserted into the
  // second slot of the last box.
  void start(const std::string& variables, int boxes = 2) {
    spool_slot_ = 4 * boxes - 2;
    host_.start({.slots = 4 * boxes,
                 .world = true,
                 .extra = kPrinterMacros,
                 .world_options = "boxes_share_outlet: True\n"},
                variables);
    host_.host().advance(0.5);
    host_.save("auto_read_rfid", "0");
    host_.command("SIM_SPOOL SLOT=" + std::to_string(spool_slot_) + " ACTION=insert");
    host_.host().advance(0.2);
    ASSERT_EQ(spool_state(), Value(3));
  }
  void reload_all() {
    host_.command("RELOAD_ALL");
    host_.settle(spool_slot_);
  }
  Value spool_state() { return host_.variable("slot" + std::to_string(spool_slot_)); }

  int spool_slot_ = 0;

  LaneHost host_;
};

TEST_F(BoxCount, UnsavedItCountsTheConfiguredBoxesAndLoadsTheSecondBox) {
  start("");
  const double inserted_at_mm = host_.strand(6).tip_mm;
  reload_all();
  EXPECT_EQ(host_.variable("slot6"), Value(1));
  EXPECT_GT(host_.strand(6).tip_mm, inserted_at_mm) << "pulled into the box";
  EXPECT_EQ(host_.variable("box_count", Value()), Value()) << "only detection saves it";
}

TEST_F(BoxCount, ASavedCountStillDecides) {
  start("[Variables]\nbox_count = 1\n");
  reload_all();
  EXPECT_EQ(host_.variable("slot6"), Value(3)) << "box 2 is not attached";
}

// Box detection numbers up to four boxes: the fourth loads, a fifth is a bad saved value.
TEST_F(BoxCount, FourBoxesLoadAndAFifthIsRefused) {
  start("[Variables]\nbox_count = 4\n", 4);
  reload_all();
  EXPECT_EQ(spool_state(), Value(1));
  host_.save("box_count", "5");
  EXPECT_EQ(host_.command("RELOAD_ALL"),
            std::vector<std::string>{
                "!! Saved variable box_count = 5 is not an integer from 0 to 4; correct it with "
                "SAVE_VARIABLE VARIABLE=box_count VALUE=<value> and try again"});
}

}  // namespace
