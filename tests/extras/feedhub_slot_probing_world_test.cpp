// The self-inspection against the filament world: after a restart that lost which slot is
// in the extruder, and at ordinary starts, where it runs only with the outlet clear and
// filament at the extruder entry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/extras/feedlane_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedlane_test::LaneHost;
using feedlane_test::PrinterSetup;
using klippy::Value;
using testing_support::SuccessLine;

constexpr double kParkedTipMm = feedlane_test::kGeometry.outlet_mm - 260.;  // less the park move
// The outlet endstop's delay (0.114 s) at up to 100 mm/s.
constexpr double kTipToleranceMm = 12.;
const char* const kFailure =
    "// Code:ZKE_004_015; Message:Box self-inspection failed, please try manually withdrawing "
    "the fed filament.";

class WorldInspection : public ::testing::Test {
 protected:
  void start(const PrinterSetup& setup = {.world = true}) {
    host_.start(setup, "[Variables]\nbox_count = 1\n");
    // Past the start-up run on the still empty box.
    host_.host().advance(3.5);
  }
  sim::StrandState strand(int slot) { return host_.strand(slot); }
  void park(int slot) { ASSERT_TRUE(host_.park(slot)); }
  // Restarts and lets the start-up tasks run their course.
  void restart_and_wait() {
    host_.output().clear();
    host_.restart();
    host_.host().advance(120);
  }

  LaneHost host_;
};

TEST_F(WorldInspection, AfterARestartTheSlotStillInTheExtruderIsFoundAndCoupled) {
  start();
  for (int slot : {0, 1, 2}) park(slot);
  ASSERT_THAT(host_.command("EXTRUDER_LOAD SLOT=slot2"),
              testing::ElementsAre(SuccessLine("Loaded 1C into the extruder")));
  host_.command("M83");
  host_.command("G1 E100 F300");
  host_.command("M400");
  host_.save("last_load_slot", "'slot-1'");  // lost, as after an interrupted write

  restart_and_wait();
  EXPECT_TRUE(host_.output().empty()) << "filament in the outlet: no start-up run";
  ASSERT_EQ(host_.hub().sensors().b_endstop_state(), 0);

  EXPECT_THAT(host_.command("BOX_SELF_INSPECTION"),
              testing::ElementsAre(
                  SuccessLine("Inspected the slots", "the filament in the extruder path is 1C's")));
  EXPECT_EQ(host_.variable("last_load_slot"), Value("slot2"));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot2"));
  EXPECT_TRUE(strand(2).gripped_by_extruder);
  // Each wiggle leaves its strand 5 mm further in.
  for (int slot : {0, 1}) EXPECT_NEAR(strand(slot).tip_mm, kParkedTipMm + 5, kTipToleranceMm);
  // Coupled again: the extruder drives slot 2's motor.
  host_.settle(2);
  const double before = strand(2).tip_mm;
  host_.command("G1 E10 F600");
  host_.command("M400");
  EXPECT_NEAR(strand(2).tip_mm - before, 10., 1e-6);
}

// An ordinary start has every strand parked (or just inserted, or none at all), the outlet
// clear and nothing at the extruder entry: nothing can be engaged in the extruder path, so
// the start-up run concludes that without moving a strand and without an error.
TEST_F(WorldInspection, AnOrdinaryStartConcludesNothingIsEngagedWithoutProbing) {
  for (const std::string encoder : {"", "encoder_mm: 370\n"}) {
    LaneHost host;
    host.start({.world = true, .world_options = encoder},
               "[Variables]\nbox_count = 1\nlast_load_slot = 'slot2'\n"
               "retry_step = 'ZKE_004_005_1'\n");
    host.host().advance(120);
    EXPECT_FALSE(host.output_contains(kFailure)) << "an empty box " << encoder;
    EXPECT_EQ(host.variable("last_load_slot"), Value("slot-1")) << encoder;
    for (int slot = 0; slot < 4; ++slot) {
      host.command("SIM_SPOOL SLOT=" + std::to_string(slot) + " ACTION=insert");
      host.host().advance(0.2);
      if (slot % 2 == 0)
        host.run_task([&] { feedhub::conclude(host.hub(), host.lane(slot).slot_load()); });
    }
    host.host().advance(10);
    std::vector<double> tips;
    for (int slot = 0; slot < 4; ++slot) tips.push_back(host.strand(slot).tip_mm);
    host.save("retry_step", "'ZKE_004_005_1'");
    host.output().clear();
    host.restart();
    // The G-code queue is free at once: a command right after the run answers at once.
    host.host().advance(3.5);
    const double asked = host.now();
    host.command("M400");
    EXPECT_LT(host.now() - asked, 1.0) << encoder;
    host.host().advance(120);
    EXPECT_FALSE(host.output_contains(kFailure)) << "parked and new strands " << encoder;
    EXPECT_EQ(host.variable("retry_step"), Value("ZKE_004_005_1")) << encoder;
    EXPECT_EQ(host.variable("last_load_slot"), Value("slot-1")) << encoder;
    for (int slot = 0; slot < 4; ++slot)
      EXPECT_NEAR(host.strand(slot).tip_mm, tips[slot], 1e-6) << "slot " << slot << encoder;
  }
}

// Filament at the extruder entry with the outlet clear (a spool that ran out with its end
// already in the tube): the start-up run does probe, finds nothing, and says so, but a
// step still waiting for TRY_MOVE_AGAIN keeps its place. Run by hand it records its own.
TEST_F(WorldInspection, AFailedStartUpRunKeepsAPendingRetryStep) {
  start();
  host_.command("SIM_SPOOL SLOT=0 ACTION=insert");
  host_.host().advance(0.2);
  // 1000 mm of filament pushed up to just past the entry sensor: its end is in the tube.
  host_.world().world().set_runout_after(0, 990, host_.print_time());
  host_.run_task([&] { host_.lane(0).do_move(1350, 80); });
  host_.settle(0);
  ASSERT_EQ(host_.hub().sensors().b_endstop_state(), 1);
  ASSERT_TRUE(host_.hub().sensors().filament_at_extruder_entry());
  host_.save("retry_step", "'ZKE_004_005_1'");

  restart_and_wait();
  EXPECT_TRUE(host_.output_contains(kFailure));
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_005_1"));
  EXPECT_EQ(host_.hub().sensors().box_button_state(), 0);

  host_.output().clear();
  EXPECT_EQ(testing_support::without_advice(host_.command("BOX_SELF_INSPECTION")),
            std::vector<std::string>{kFailure});
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_015_00"));

  host_.command("SAVE_VARIABLE VARIABLE=retry_step VALUE=None");
  restart_and_wait();
  EXPECT_TRUE(host_.output_contains(kFailure));
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_015_00")) << "nothing was pending";
}

}  // namespace
