// The self-inspection against the filament world: after a restart that lost which slot is
// in the extruder, and at ordinary starts, where it can only run with the outlet clear.
#include <gtest/gtest.h>

#include "tests/extras/feedlane_fixture.h"

namespace {

using feedlane_test::LaneHost;
using feedlane_test::PrinterSetup;
using klippy::Value;

constexpr double kParkedTipMm = 90.;  // the outlet (350 mm) less the 260 mm park move
constexpr double kTipToleranceMm = 3.5;
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
  ASSERT_TRUE(host_.command("EXTRUDER_LOAD SLOT=slot2").empty());
  host_.command("M83");
  host_.command("G1 E100 F300");
  host_.command("M400");
  host_.save("last_load_slot", "'slot-1'");  // lost, as after an interrupted write

  restart_and_wait();
  EXPECT_TRUE(host_.output().empty()) << "filament in the outlet: no start-up run";
  ASSERT_EQ(host_.hub().b_endstop_state(), 0);

  EXPECT_TRUE(host_.command("BOX_SELF_INSPECTION").empty());
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

// An ordinary start has every strand parked (or just inserted, or none at all) and the
// outlet clear, the only case in which the start-up run happens. The probe's 50 mm push
// reaches the motion encoder only from the last stretch before the outlet.
TEST_F(WorldInspection, AnOrdinaryStartFailsWhereverTheEncoderSits) {
  for (const std::string encoder : {"", "encoder_mm: 370\n"}) {
    LaneHost host;
    host.start({.world = true, .world_options = encoder}, "[Variables]\nbox_count = 1\n");
    host.host().advance(120);
    EXPECT_TRUE(host.output_contains(kFailure)) << "an empty box " << encoder;
    for (int slot = 0; slot < 4; ++slot) {
      host.command("SIM_SPOOL SLOT=" + std::to_string(slot) + " ACTION=insert");
      host.host().advance(0.2);
      if (slot % 2 == 0) host.run_task([&] { host.lane(slot).slot_load(); });
    }
    host.host().advance(10);
    host.output().clear();
    host.restart();
    host.host().advance(120);
    EXPECT_TRUE(host.output_contains(kFailure)) << "parked and new strands " << encoder;
    EXPECT_EQ(host.variable("retry_step"), Value("ZKE_004_015_00"));
  }
}

TEST_F(WorldInspection, OnlyAStrandStoppedJustBeforeTheOutletIsConfirmedAtStart) {
  // tip 340 mm: past the default encoder (330 mm), 10 mm short of the outlet (350 mm);
  // tip 320 mm: 50 mm short of an encoder behind the outlet (370 mm).
  struct Case {
    std::string encoder;
    double tip_mm;
    bool confirmed;
  };
  for (const Case& c :
       {Case{"", 340, true}, Case{"", 250, false}, Case{"encoder_mm: 370\n", 340, true},
        Case{"encoder_mm: 370\n", 320, false}}) {
    LaneHost host;
    host.start({.world = true, .world_options = c.encoder}, "[Variables]\nbox_count = 1\n");
    host.host().advance(3.5);
    host.command("SIM_SPOOL SLOT=1 ACTION=insert");
    host.host().advance(0.2);
    host.run_task([&] { host.lane(1).do_move(c.tip_mm - 10., 80); });
    host.settle(1);
    ASSERT_EQ(host.hub().b_endstop_state(), 1);
    host.output().clear();
    host.restart();
    host.host().advance(60);
    EXPECT_EQ(host.output_contains(kFailure), !c.confirmed) << c.encoder << c.tip_mm;
    EXPECT_EQ(host.variable("last_load_slot", "slot-1"), Value(c.confirmed ? "slot1" : "slot-1"))
        << c.encoder << c.tip_mm;
  }
}

}  // namespace
