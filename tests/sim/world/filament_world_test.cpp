#include "sim/world/filament_world.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "klippy/host/errors.h"
#include "klippy/host/motion.h"
#include "sim/world/stepper.h"
#include "sim/world/trapq.h"

namespace {

using sim::SensorId;

class FilamentWorldTest : public ::testing::Test {
 protected:
  FilamentWorldTest() {
    slot0.set_trapq(slot0_queue);
    slot1.set_trapq(slot1_queue);
    world.attach_slot_stepper(0, slot0);
    world.attach_slot_stepper(1, slot1);
    world.attach_extruder_queue(extruder_queue);
  }

  // Queues a force_move-style move; returns its end time.
  static double move(sim::SimTrapq& q, double t, double dist, double speed, double accel) {
    const auto m = klippy::calc_move_time(dist, speed, accel);
    q.append(t, m.accel_t, m.cruise_t, m.accel_t, q.end_position(), {m.axis_r, 0., 0.}, 0.,
             m.cruise_v, accel);
    return t + 2. * m.accel_t + m.cruise_t;
  }
  // Constant speed from `t`, no acceleration; returns its end time.
  static double cruise(sim::SimTrapq& q, double t, double dist, double speed) {
    return move(q, t, dist, speed, 0.);
  }
  double tip(int slot, double t) const { return world.strand(slot, t).tip_mm; }

  // These cases put the encoder on the tube, past the outlet.
  sim::WorldGeometry geo = [] {
    sim::WorldGeometry g;
    g.encoder_mm = 380.;
    return g;
  }();
  sim::FilamentWorld world{geo};
  std::shared_ptr<sim::SimTrapq> slot0_queue = std::make_shared<sim::SimTrapq>();
  std::shared_ptr<sim::SimTrapq> slot1_queue = std::make_shared<sim::SimTrapq>();
  std::shared_ptr<sim::SimTrapq> extruder_queue = std::make_shared<sim::SimTrapq>();
  sim::SimStepper slot0{{"extruder_stepper slot0", 22.7, 16}};
  sim::SimStepper slot1{{"extruder_stepper slot1", 22.7, 16}};
};

TEST_F(FilamentWorldTest, OutletCrossingIsSolvedExactlyInEveryPhase) {
  world.insert_spool(0, {}, 0.);
  EXPECT_EQ(world.level(SensorId::runout(0), 0.5), 1);
  EXPECT_EQ(world.level(SensorId::outlet(0), 0.5), 0);

  // 500 mm at 80 mm/s, 50 mm/s^2: 64 mm of acceleration (1.6 s), the outlet 340 mm away is
  // reached while cruising.
  move(*slot0_queue, 1., 500., 80., 50.);
  auto t = world.next_change(SensorId::outlet(0), 0., 100.);
  ASSERT_TRUE(t.has_value());
  EXPECT_NEAR(*t, 1. + 1.6 + 276. / 80., 1e-7);
  EXPECT_EQ(world.level(SensorId::outlet(0), *t + 1e-6), 1);
  EXPECT_EQ(world.level(SensorId::outlet(0), *t - 1e-6), 0);
  // Another box's outlet does not see this slot.
  EXPECT_FALSE(world.next_change(SensorId::outlet(1), 0., 100.).has_value());
}

TEST_F(FilamentWorldTest, CrossingDuringDecelerationAndHomingStop) {
  world.insert_spool(0, {}, 0.);
  // 345 mm: 64 mm accel, 217 mm cruise (2.7125 s), then the outlet 59 mm into the decel.
  move(*slot0_queue, 2., 345., 80., 50.);
  const double decel_tau = (80. - std::sqrt(500.)) / 50.;
  const double expected = 2. + 1.6 + 2.7125 + decel_tau;
  auto trip = world.next_change(SensorId::outlet(0), 0., 100.);
  ASSERT_TRUE(trip.has_value());
  EXPECT_NEAR(*trip, expected, 1e-7);

  // The endstop stops the motor there: nothing after the trip is executed.
  slot0.stop_at(*trip);
  EXPECT_NEAR(tip(0, 50.), geo.outlet_mm, 1e-6);
  EXPECT_NEAR(slot0.get_commanded_position(50.), geo.outlet_mm - geo.inserted_tip_mm, 1e-6);
  EXPECT_FALSE(world.next_change(SensorId::outlet(0), *trip, 100.).has_value());
}

TEST_F(FilamentWorldTest, EncoderTogglesEveryDetectionLengthAndHoldsWhenUncovered) {
  world.insert_spool(0, {}, 0.);
  cruise(*slot0_queue, 0., 400., 10.);  // tip 10 -> 410 at 10 mm/s
  // Marks at 387, 394, ...: the level flips each time one passes.
  double after = 0.;
  int expected_level = 0;
  for (int k = 1; k <= 4; ++k) {
    auto t = world.next_change(SensorId::encoder(), after, 100.);
    ASSERT_TRUE(t.has_value()) << k;
    EXPECT_NEAR(*t, (380. + 7. * k - 10.) / 10., 1e-9) << k;
    expected_level ^= 1;
    EXPECT_EQ(world.level(SensorId::encoder(), *t), expected_level);
    after = *t;
  }
  // Backwards the marks flip it too: from 410 the first one met is 408.
  cruise(*slot0_queue, 41., -100., 20.);
  auto back = world.next_change(SensorId::encoder(), 40., 100.);
  ASSERT_TRUE(back.has_value());
  EXPECT_NEAR(*back, 41. + 2. / 20., 1e-9);
}

TEST_F(FilamentWorldTest, EncoderHoldsItsLevelOnceTheTailHasPassed) {
  sim::SpoolSpec setup;
  setup.length_mm = 106.;  // the tail leaves the encoder with the tip at 486 (15 marks: level 1)
  world.insert_spool(0, setup, 0.);
  cruise(*slot0_queue, 0., 600., 10.);
  // Mark 485 (the 15th) passes at 47.5 s; from 47.6 s nothing covers the encoder.
  EXPECT_NEAR(*world.next_change(SensorId::encoder(), 47.4, 100.), 47.5, 1e-9);
  EXPECT_EQ(world.level(SensorId::encoder(), 47.55), 1);
  EXPECT_FALSE(world.next_change(SensorId::encoder(), 47.55, 100.).has_value());
  EXPECT_EQ(world.level(SensorId::encoder(), 70.), 1);
}

TEST_F(FilamentWorldTest, JammedStrandStopsEncoderWhileMotorTurns) {
  world.insert_spool(0, {}, 0.);
  cruise(*slot0_queue, 0., 380., 100.);  // tip at 390
  world.advance_to(10.);
  world.set_jammed(0, true, 10.);
  cruise(*slot0_queue, 11., 100., 50.);
  EXPECT_NEAR(slot0.get_commanded_position(20.) - slot0.get_commanded_position(10.), 100., 1e-9);
  EXPECT_FALSE(world.next_change(SensorId::encoder(), 10., 30.).has_value());
  EXPECT_NEAR(tip(0, 30.), 390., 1e-9);
  EXPECT_TRUE(world.strand(0, 30.).jammed);

  world.clear_faults(0, 30.);
  cruise(*slot0_queue, 31., 14., 14.);
  auto t = world.next_change(SensorId::encoder(), 30., 40.);
  ASSERT_TRUE(t.has_value());
  EXPECT_NEAR(*t, 31. + 4. / 14., 1e-9);  // the 394 mark
}

TEST_F(FilamentWorldTest, SyncedSlotFollowsExtruderMoves) {
  world.insert_spool(0, {}, 0.);
  cruise(*slot0_queue, 0., 1370., 100.);  // tip 1380, past the gears at 1370
  world.advance_to(14.);
  EXPECT_TRUE(world.strand(0, 14.).gripped_by_extruder);

  slot0.set_trapq(extruder_queue);  // synced: the slot motor turns with the extruder
  cruise(*extruder_queue, 15., 30., 10.);
  // Driven once, through the slot motor, not again by the gears.
  EXPECT_NEAR(tip(0, 16.), 1390., 1e-9);
  EXPECT_NEAR(tip(0, 20.), 1410., 1e-9);
  world.advance_to(20.);

  slot0.set_trapq(slot0_queue);  // uncoupled: the gears alone move it
  cruise(*extruder_queue, 21., -25., 25.);
  EXPECT_NEAR(tip(0, 23.), 1385., 1e-9);
  // Retracted behind the gears: further extruder moves leave it alone.
  cruise(*extruder_queue, 23., -40., 40.);
  cruise(*extruder_queue, 25., 40., 40.);
  EXPECT_NEAR(tip(0, 30.), geo.gears_mm(), 1e-9);
}

TEST_F(FilamentWorldTest, InferredFollowingPushesAGrippedStrandOnceAndOnlyWhenInStep) {
  // Queues rebuilt from step queues: the slot motor's own queue repeats the extruder's move.
  world.infer_extruder_following();
  world.insert_spool(0, {}, 0.);
  cruise(*slot0_queue, 0., 1370., 100.);  // tip 1380, gripped
  world.advance_to(14.);
  cruise(*slot0_queue, 15., -30., 10.);
  cruise(*extruder_queue, 15., -30., 10.);
  EXPECT_NEAR(tip(0, 20.), 1350., 1e-9) << "pulled back once, out of the gears";
  world.advance_to(20.);

  // Back in, then moving at different speeds: the two push together.
  cruise(*slot0_queue, 20., 30., 10.);
  world.advance_to(24.);
  cruise(*slot0_queue, 24., 10., 10.);
  cruise(*extruder_queue, 24., 40., 40.);
  EXPECT_NEAR(tip(0, 25.), 1380. + 10. + 40., 1e-9);
}

TEST_F(FilamentWorldTest, GearsPickUpATipPushedInByTheSlot) {
  world.insert_spool(0, {}, 0.);
  cruise(*slot0_queue, 0., 1350., 150.);  // tip 1360
  world.advance_to(10.);
  cruise(*slot0_queue, 10., 20., 10.);    // reaches the gears (1370) at 11 s
  cruise(*extruder_queue, 10., 10., 5.);  // turning all the while
  EXPECT_NEAR(tip(0, 10.5), 1365., 1e-9);
  EXPECT_NEAR(tip(0, 12.), 1370. + 15., 1e-9);
  EXPECT_EQ(world.hall_diameter_mm(12.), geo.filament_diameter_mm);
  world.insert_spool(1, {}, 12.);
  EXPECT_EQ(world.level(SensorId::outlet(0), 12.), 1);  // slot1's tip is still in the box
}

TEST_F(FilamentWorldTest, RunoutWhenTheSpoolIsUsedUp) {
  sim::SpoolSpec setup;
  setup.length_mm = 500.;
  world.insert_spool(0, setup, 0.);
  cruise(*slot0_queue, 1., 600., 50.);
  // The tail (tip - 500) leaves the runout sensor once the tip reaches 500 mm.
  auto t = world.next_change(SensorId::runout(0), 0., 100.);
  ASSERT_TRUE(t.has_value());
  EXPECT_NEAR(*t, 1. + 490. / 50., 1e-9);
  EXPECT_EQ(world.level(SensorId::runout(0), *t + 1e-3), 0);
  // The outlet still sees it until the tail passes there too.
  EXPECT_EQ(world.level(SensorId::outlet(0), 12.), 1);
}

TEST_F(FilamentWorldTest, CutLeavesAPieceThatTheNextExtrusionPushesOut) {
  world.insert_spool(0, {}, 0.);
  cruise(*slot0_queue, 0., 1410., 141.);  // tip 1420, past the cutter at 1390
  EXPECT_EQ(world.cut(11.), 1);
  auto st = world.strand(0, 11.);
  EXPECT_NEAR(st.tip_mm, geo.cutter_mm(), 1e-9);
  EXPECT_NEAR(st.length_mm, geo.default_spool_length_mm - 30., 1e-6);
  ASSERT_EQ(world.loose_pieces().size(), 1u);
  EXPECT_NEAR(world.loose_pieces()[0].tip_mm, 1420., 1e-9);

  slot0.set_trapq(extruder_queue);
  cruise(*extruder_queue, 12., 20., 10.);
  world.advance_to(14.);
  ASSERT_EQ(world.loose_pieces().size(), 1u);
  EXPECT_NEAR(world.loose_pieces()[0].tail_mm, 1410., 1e-9);
  cruise(*extruder_queue, 15., 30., 10.);
  world.advance_to(20.);
  EXPECT_TRUE(world.loose_pieces().empty());
  EXPECT_EQ(world.cut(20.), 1);
}

TEST_F(FilamentWorldTest, AnchoringLetsQueuesDropHistory) {
  world.insert_spool(0, {}, 0.);
  double t = 1.;
  for (int i = 0; i < 200; ++i) {
    t = cruise(*slot0_queue, t, 2., 20.);  // 400 mm in small moves
    world.advance_to(t - 0.05);
    slot0_queue->finalize_moves(t - 0.05, t - 0.05);
  }
  EXPECT_LE(slot0_queue->queued_phases(), 1u);
  EXPECT_NEAR(tip(0, t + 1.), 410., 1e-6);
  EXPECT_EQ(world.level(SensorId::outlet(0), t + 1.), 1);
  EXPECT_EQ(world.level(SensorId::encoder(), t + 1.), (410 - 380 - 1) / 7 % 2);
}

TEST_F(FilamentWorldTest, SpoolChangesAndDescription) {
  sim::SpoolSpec setup;
  setup.filament_type = "PETG";
  setup.color = "FF0000";
  setup.tag = {1, 2, 3};
  world.insert_spool(2, setup, 0.);
  EXPECT_THROW(world.insert_spool(2, setup, 0.), klippy::CommandError);
  EXPECT_THROW(world.insert_spool(16, setup, 0.), klippy::CommandError);
  EXPECT_THROW(world.remove_spool(3, 0.), klippy::CommandError);
  world.set_tag_unreadable(2, true);
  EXPECT_TRUE(world.spool(2).tag_unreadable);
  EXPECT_EQ(world.spool(2).tag->size(), 3u);

  const std::string text = world.describe(0.);
  EXPECT_NE(text.find("slot2 (1C): PETG FF0000, parked in the box (tip at 10.0 mm along the "
                      "path), 329.99 m on the spool, tag unreadable\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("slot3 (1D): no spool\n"), std::string::npos);
  EXPECT_NE(text.find("box1 outlet sensor: clear\n"), std::string::npos);
  // Only the slots asked for, and any other that holds a spool.
  const std::string first_box = world.describe(0., 2);
  EXPECT_EQ(first_box.find("slot3 (1D)"), std::string::npos) << first_box;
  EXPECT_NE(first_box.find("slot2 (1C)"), std::string::npos);
  EXPECT_EQ(first_box.find("box2 outlet"), std::string::npos);

  world.remove_spool(2, 1.);
  EXPECT_EQ(world.level(SensorId::runout(2), 1.), 0);
  EXPECT_FALSE(world.spool(2).present);
}

TEST_F(FilamentWorldTest, ASpoolTakenOutLeavesWhatLeftTheBoxInThePath) {
  world.insert_spool(0, {}, 0.);
  world.insert_spool(1, {}, 0.);
  // Slot 0's strand reaches 5 mm past the extruder gears; slot 1's stays parked in the box.
  const double t = cruise(*slot0_queue, 0., geo.gears_mm() + 5. - geo.inserted_tip_mm, 500.) + 1.;
  world.remove_spool(0, t);
  world.remove_spool(1, t);
  EXPECT_EQ(world.level(SensorId::runout(0), t), 0);
  EXPECT_EQ(world.level(SensorId::outlet(0), t), 1);
  EXPECT_EQ(world.level(SensorId::extruder_entry(), t), 1);
  const auto left = world.free_strands(t);
  ASSERT_EQ(left.size(), 1u) << "slot 1's strand slid out with its spool";
  EXPECT_EQ(left[0].slot, 0);
  EXPECT_NEAR(left[0].state.tail_mm, 0., 1e-9);
  const std::string text = world.describe(t);
  EXPECT_NE(text.find("strand cut free from slot0 (1A): in the extruder (0.0 to 1375.0 mm along "
                      "the path), gripped by the extruder\n"),
            std::string::npos)
      << text;
  // It stays through a restart of the host.
  sim::FilamentWorld restarted{geo};
  restarted.restore(world.snapshot(t), t);
  EXPECT_EQ(restarted.level(SensorId::outlet(0), t), 1);

  // Only the extruder moves it now: its tail leaves the outlet after 350 mm, and out of
  // the nozzle it is gone.
  const double printed = cruise(*extruder_queue, t + 1., 1500., 100.);
  const auto clear = world.next_change(SensorId::outlet(0), t, printed);
  ASSERT_TRUE(clear.has_value());
  EXPECT_NEAR(*clear, t + 1. + geo.outlet_mm / 100., 1e-6);
  world.advance_to(printed + 1.);
  EXPECT_TRUE(world.free_strands(printed + 1.).empty());
  EXPECT_EQ(world.level(SensorId::extruder_entry(), printed + 1.), 0);
}

TEST_F(FilamentWorldTest, ARefusedStrandTouchesTheEntryOnceThenStaysBehindItUntilCleared) {
  const double entry = geo.entry_mm();
  world.insert_spool(0, {}, 0.);
  world.set_entry_refused(0, true, 0.);
  // The push reaches the entry sensor: it sees the strand until the push ends.
  double end = cruise(*slot0_queue, 0., entry + 10. - geo.inserted_tip_mm, 500.);
  auto seen = world.next_change(SensorId::extruder_entry(), 0., end + 10.);
  ASSERT_TRUE(seen.has_value());
  EXPECT_NEAR(world.strand(0, *seen).tip_mm, entry, 1e-6);
  EXPECT_EQ(world.level(SensorId::extruder_entry(), end - 1e-3), 1);
  // Sprung back 5 mm when the push stopped, and the next push ends against the closed entry
  // without the sensor seeing anything.
  EXPECT_NEAR(tip(0, end + 0.1), entry - 5., 1e-6);
  end = cruise(*slot0_queue, end + 1., 100., 100.);
  EXPECT_FALSE(world.next_change(SensorId::extruder_entry(), end - 1.5, end + 10.).has_value());
  EXPECT_NEAR(tip(0, end), entry - 5., 1e-6);
  // Pulling back works at once, from the closed entry.
  end = cruise(*slot0_queue, end, -50., 100.);
  EXPECT_NEAR(tip(0, end), entry - 55., 1e-6);
  // Cleared, the entry takes the strand again.
  world.set_entry_refused(0, false, end);
  end = cruise(*slot0_queue, end, 60., 100.);
  EXPECT_NEAR(tip(0, end), entry + 5., 1e-6);
  EXPECT_EQ(world.level(SensorId::extruder_entry(), end + 1.), 1);
}

TEST_F(FilamentWorldTest, HugeLengthsAreRefusedAndLongNamesStayOnTheirLine) {
  EXPECT_THROW(world.insert_spool(0, {.length_mm = 1e300}, 0.), klippy::CommandError);
  world.insert_spool(0, {.filament_type = std::string(400, 'P'), .length_mm = 1e7}, 0.);
  EXPECT_THROW(world.set_runout_after(0, 1e300, 0.), klippy::CommandError);
  const std::string text = world.describe(0.);
  EXPECT_NE(text.find(std::string(400, 'P') +
                      " FFFFFF, parked in the box (tip at 10.0 mm along the path), 9999.99 m on "
                      "the spool\nslot1 (1B): no spool"),
            std::string::npos)
      << text;
}

TEST(WorldGeometry, RejectsOutOfOrderPositions) {
  sim::WorldGeometry geo;
  geo.encoder_mm = 1400.;  // past the extruder entry
  EXPECT_THROW(sim::FilamentWorld{geo}, klippy::ConfigError);
  geo = {};
  geo.cutter_after_entry_mm = 10.;
  EXPECT_THROW(sim::FilamentWorld{geo}, klippy::ConfigError);
  // Sizes that would keep the world computing for ever.
  geo = {};
  geo.detection_length_mm = 1e-300;
  EXPECT_THROW(sim::FilamentWorld{geo}, klippy::ConfigError);
  geo = {};
  geo.tube_length_mm = 1e300;
  EXPECT_THROW(sim::FilamentWorld{geo}, klippy::ConfigError);
}

}  // namespace
