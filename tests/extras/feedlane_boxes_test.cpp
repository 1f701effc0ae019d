// The generated box part of the simulator's printer: N boxes start with their slot
// feeders, MCUs and spools.
#include <gtest/gtest.h>

#include "apps/feedbox/box_config.h"
#include "tests/extras/feedlane_fixture.h"

namespace {

std::string printer_with_boxes(int boxes) {
  // The fixture's printer without its box part, then the generated one.
  std::string base = feedlane_test::printer_config({.slots = 0});
  base = base.substr(0, base.find("[mcu mcu_box1]")) + base.substr(base.find("[printer]"));
  base = base.substr(0, base.find("[filament_motion_sensor"));
  return base + testing_support::hall_sensor_section("PC0", "PC1") + feedbox::box_sections(boxes) +
         "[filament_world]\n" + feedbox::box_world_options(boxes);
}

TEST(FeedlaneBoxes, EachBoxBringsItsMcuFourSlotFeedersAndFourSpools) {
  for (int boxes : {0, 1, 2, 4}) {
    feedlane_test::LaneHost lanes;
    lanes.test().start(printer_with_boxes(boxes));
    auto feeders = lanes.host().printer().lookup_objects("feedlane ");
    EXPECT_EQ(feeders.size(), static_cast<size_t>(4 * boxes)) << boxes;
    EXPECT_EQ(lanes.host().printer().find_object("feedhub") != nullptr, boxes > 0);
    for (int slot = 0; slot < 4 * boxes; ++slot) {
      EXPECT_EQ(lanes.lane(slot).stepper_label()[0], static_cast<char>('1' + slot / 4));
      EXPECT_TRUE(lanes.world().world().spool(slot).present) << slot;
    }
    if (boxes > 0) {
      lanes.host().advance(0.5);
      // Every spool's filament covers its slot sensor, so no slot reports runout.
      EXPECT_EQ(lanes.lane(4 * boxes - 1).r_endstop_state(), 0);
    }
  }
}

TEST(FeedlaneBoxes, BoxCountsOutsideZeroToFourAreRefused) {
  EXPECT_THROW(feedbox::box_sections(5), klippy::ConfigError);
  EXPECT_THROW(feedbox::box_world_options(-1), klippy::ConfigError);
}

}  // namespace
