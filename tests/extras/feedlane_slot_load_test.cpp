// Slot load, unload, jam retries and extruder coupling against the filament world.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "klippy/extras/feedhub/scoped_timer.h"
#include "sim/host/print_stats.h"
#include "sim/world/stepper.h"
#include "tests/extras/feedlane_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedlane_test::kGeometry;
using feedlane_test::kParkMm;
using feedlane_test::LaneHost;
using klippy::Value;
using testing::ElementsAre;
using testing_support::SuccessLine;

// The outlet sensor reaches the endstop through the host (button report, a 10 ms mirror
// timer and the host's 100 ms minimum schedule time), so a slot running at 80 mm/s
// overshoots it by up to ~9 mm.
constexpr double kMirrorOvershootMm = 10.;

class FeedlaneSlotLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.start({.world = true}, "[Variables]\nbox_count = 1\n");
    host_.host().advance(0.5);
  }
  feedlane::BoxExtruderStepper& lane(int slot = 0) { return host_.lane(slot); }
  sim::FilamentWorld& world() { return host_.world().world(); }
  double tip(int slot = 0) { return world().strand(slot, host_.print_time()).tip_mm; }
  int outlet_level() { return world().level(sim::SensorId::outlet(0), host_.print_time()); }
  void insert(int slot) {
    host_.command("SIM_SPOOL SLOT=" + std::to_string(slot) + " ACTION=insert");
    host_.host().advance(0.2);
  }
  // Loads `slot`; counts how often filament arrived at the outlet meanwhile.
  bool load(int slot = 0) {
    bool loaded = false;
    int last_state = host_.hub().sensors().b_endstop_state();
    arrivals_ = 0;
    host_.run_task([&] { loaded = feedhub::conclude(host_.hub(), lane(slot).slot_load()); },
                   [&] {
                     int state = host_.hub().sensors().b_endstop_state();
                     if (last_state == 1 && state == 0) ++arrivals_;
                     last_state = state;
                   });
    host_.settle(slot);
    return loaded;
  }
  void move(int slot, double mm) {
    host_.run_task([&] { lane(slot).do_move(mm, 80); });
    host_.settle(slot);
  }
  std::vector<std::string> unload(int slot = 0) {
    auto lines = host_.command("SLOT_UNLOAD SLOT=slot" + std::to_string(slot));
    host_.settle(slot);
    return lines;
  }
  bool motor_on(int slot = 0) { return host_.enable_line(slot).is_motor_enabled(); }
  void motor_enable(int slot = 0) { host_.enable_line(slot).motor_enable(host_.print_time()); }

  LaneHost host_;
  int arrivals_ = 0;
};

TEST_F(FeedlaneSlotLoad, AFreshSpoolHomesToTheOutletProbesTwiceAndParksBehindIt) {
  insert(0);
  motor_enable();
  ASSERT_TRUE(load());
  EXPECT_EQ(arrivals_, 3) << "the first homing and two probes in a row";
  EXPECT_GE(tip(), kGeometry.outlet_mm - kParkMm);
  EXPECT_LE(tip(), kGeometry.outlet_mm - kParkMm + kMirrorOvershootMm);
  EXPECT_EQ(outlet_level(), 0);
  EXPECT_EQ(host_.hub().sensors().b_endstop_state(), 1);
  EXPECT_EQ(host_.variable("slot0"), Value(1));
  EXPECT_EQ(host_.variable("last_load_slot"), Value("slot-1"));
  EXPECT_TRUE(host_.variable("retry_step").is_none());
  EXPECT_FALSE(motor_on());
  EXPECT_THAT(host_.output(), ElementsAre(SuccessLine("Loaded 1A into the box")));
}

TEST_F(FeedlaneSlotLoad, ProbesThatNeverReachTheOutletAgainFailTheLoadAfterFivePasses) {
  insert(0);
  host_.save("slot_load_length_4", "50");  // backs off 100 mm, probes only 50 mm
  EXPECT_FALSE(load());
  EXPECT_EQ(arrivals_, 1);
  EXPECT_EQ(testing_support::without_advice(host_.output()),
            std::vector<std::string>{"!!Code:ZKE_004_001; Message:Slot loading "
                                     "failure, please check the trigger, please "
                                     "reload 1A."});
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_001_0"));
  EXPECT_EQ(host_.variable("slot0"), Value(-1));
  // One arrival, five passes of -100 + 50 mm, then the park move all the same.
  EXPECT_NEAR(tip(), kGeometry.outlet_mm - 5 * 50 - kParkMm, kMirrorOvershootMm);
  EXPECT_THAT(host_.info_log(), testing::Contains(testing::StartsWith("last sensor state: \n")));
}

TEST_F(FeedlaneSlotLoad, AFailedProbeBetweenTwoSuccessesStartsTheCountAgain) {
  insert(0);
  // The strand sticks as the second probe backs off, and comes free during the third.
  enum class Phase { first_probe, backing_off, stuck, free } phase = Phase::first_probe;
  double stuck_at = 0.;
  bool loaded = false;
  int last_state = host_.hub().sensors().b_endstop_state();
  auto set_stuck = [&](bool stuck) {
    world().set_jammed(0, stuck, host_.print_time());
    host_.world().notify_changed();
  };
  host_.run_task([&] { loaded = feedhub::conclude(host_.hub(), lane().slot_load()); },
                 [&] {
                   const int state = host_.hub().sensors().b_endstop_state();
                   if (last_state == 1 && state == 0) ++arrivals_;
                   last_state = state;
                   if (phase == Phase::first_probe && arrivals_ == 2) phase = Phase::backing_off;
                   if (phase == Phase::backing_off && state == 1) {
                     set_stuck(true);
                     stuck_at = host_.now();
                     phase = Phase::stuck;
                   }
                   // Past the second probe's 300 mm push, before the third probe's.
                   if (phase == Phase::stuck && host_.now() > stuck_at + 9.5) {
                     set_stuck(false);
                     phase = Phase::free;
                   }
                 });
  host_.settle(0);
  ASSERT_EQ(phase, Phase::free);
  EXPECT_TRUE(loaded);
  // The first homing, probe 1, (probe 2 failed), probes 3 and 4: two in a row after the
  // failure, not probes 1 and 3.
  EXPECT_EQ(arrivals_, 4);
  EXPECT_EQ(host_.variable("slot0"), Value(1));
}

TEST_F(FeedlaneSlotLoad, WithoutFilamentTheFirstHomingFailsAndTheSlotStillParks) {
  const double start = host_.print_time();
  EXPECT_FALSE(load());
  EXPECT_EQ(arrivals_, 0);
  EXPECT_EQ(testing_support::without_advice(host_.output()),
            std::vector<std::string>{"!!Code:ZKE_004_001; Message:Slot loading "
                                     "failure, please check the trigger, please "
                                     "reload 1A."});
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_001_0"));
  EXPECT_EQ(host_.variable("slot0"), Value(-1));
  // The whole 3000 mm at 80 mm/s, then the 260 mm park: five probes between them would
  // have taken half a minute more.
  const double homing_s = 3000. / 80 + 80. / 50, park_s = 260. / 80 + 80. / 50;
  EXPECT_NEAR(lane().next_cmd_time() - start, homing_s + park_s, 1.0);
}

// The host generates the steps of every move it is told of, and restarts the print time only
// after them: a homing move told whole would hold everything after it for its planned 37 s.
TEST_F(FeedlaneSlotLoad, AnOutletHomingThatTripsEarlyLeavesNoneOfItsPlannedTimeBehind) {
  insert(0);
  motor_enable();
  bool tripped = false;
  double ahead_s = 0.;
  host_.run_task([&] {
    const feedhub::TimerWake watching(host_.host().reactor(),
                                      host_.hub().sensors().b_endstop_timer());
    tripped =
        lane().do_home(host_.hub().sensors().b_endstop().get_endstops(), 3000., 80., 50., false);
    ahead_s = host_.toolhead().get_last_move_time() - host_.print_time();
  });
  ASSERT_TRUE(tripped);
  EXPECT_LT(tip(), kGeometry.outlet_mm + kMirrorOvershootMm);
  EXPECT_LT(ahead_s, 0.5) << "the next move waits this long for the print time";
}

TEST_F(FeedlaneSlotLoad, AnOccupiedOutletRefusesTheLoadWithoutMovingTheMotor) {
  insert(0);
  insert(1);
  move(1, 400);  // slot 1's filament now reaches past the outlet
  host_.host().advance(0.1);
  ASSERT_EQ(host_.hub().sensors().b_endstop_state(), 0);
  motor_enable();
  EXPECT_FALSE(load());
  EXPECT_EQ(tip(), 10.0);
  EXPECT_EQ(testing_support::without_advice(host_.output()),
            std::vector<std::string>{"!!Code:ZKE_004_002; Message:Extruder has been loaded, cannot "
                                     "load 1A."});
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_002_0"));
  EXPECT_EQ(host_.variable("slot0"), Value(-1));
  EXPECT_FALSE(motor_on());
}

TEST_F(FeedlaneSlotLoad, DuringAPrintLoadAndUnloadDoNothing) {
  insert(0);
  host_.host().printer().lookup_object<sim::SimPrintStats>("print_stats").note_start("a.gcode");
  EXPECT_FALSE(load());
  EXPECT_TRUE(unload().empty());
  EXPECT_EQ(tip(), 10.0);
  EXPECT_EQ(host_.variable("slot0"), Value(3)) << "as the runout sensor saw the new spool";
}

TEST_F(FeedlaneSlotLoad, UnloadWithdrawsTheFilamentToTheSlotSensor) {
  insert(0);
  ASSERT_TRUE(load());
  motor_enable();
  EXPECT_THAT(unload(), ElementsAre(SuccessLine("Unloaded 1A to its sensor")));
  // The runout endstop is a plain MCU input: it stops the motor on the sensor itself.
  EXPECT_NEAR(tip(), 0.0, 1e-6);
  EXPECT_EQ(host_.variable("slot0"), Value(0)) << "the runout sensor sees no filament now";
  EXPECT_TRUE(lane().slot_not_unload());
  EXPECT_FALSE(motor_on());
}

// The unload saves the slot empty itself: the sensor's report of the strand leaving comes
// later, and not at all from a sensor that no longer reports.
TEST_F(FeedlaneSlotLoad, AnUnloadSavesItsSlotEmptyBeforeTheSensorReports) {
  insert(0);
  ASSERT_TRUE(load());
  bool saved_before_the_report = false;
  host_.run_task([&] { EXPECT_TRUE(lane().slot_unload().ok()); },
                 [&] {
                   if (lane().r_endstop_state() == 0 && host_.variable("slot0") == Value(0))
                     saved_before_the_report = true;
                 });
  EXPECT_TRUE(saved_before_the_report);
}

// Withdrawn on purpose, the slot reads as empty (the state its sensor shows), so that a
// reload started by a spool inserted elsewhere leaves it alone; pushing the strand back
// past the sensor loads it like a new spool.
TEST_F(FeedlaneSlotLoad, AnUnloadedSlotStaysOutOfAutomaticReloadsUntilItsSpoolReturns) {
  host_.save("auto_read_rfid", "0");
  insert(0);
  ASSERT_TRUE(load());
  EXPECT_THAT(unload(), ElementsAre(SuccessLine("Unloaded 1A to its sensor")));
  host_.hub().sensors().set_can_load_slot(true);
  insert(1);
  host_.host().run_until([&] { return host_.variable("slot1") == Value(1); }, 120);
  host_.settle(1);
  EXPECT_EQ(host_.variable("slot0"), Value(0));
  EXPECT_NEAR(tip(0), 0.0, 1e-6) << "not loaded again";

  host_.command("SIM_SPOOL SLOT=0 ACTION=remove");
  insert(0);
  host_.host().run_until([&] { return host_.variable("slot0") == Value(1); }, 120);
  host_.settle(0);
  EXPECT_NEAR(tip(0), kGeometry.outlet_mm - kParkMm, kMirrorOvershootMm);
}

TEST_F(FeedlaneSlotLoad, UnloadingAnEmptySlotSaysSoAndKeepsItEmpty) {
  host_.save("auto_read_rfid", "0");
  EXPECT_EQ(unload(1), std::vector<std::string>{
                           "// 1B (slot1) holds no filament at its sensor: nothing to unload."});
  EXPECT_EQ(host_.variable("slot1"), Value(0));
  EXPECT_TRUE(host_.variable("retry_step").is_none());
  EXPECT_FALSE(motor_on(1));
  // A spool inserted elsewhere loads only itself.
  host_.hub().sensors().set_can_load_slot(true);
  insert(2);
  host_.host().run_until([&] { return host_.variable("slot2") == Value(1); }, 120);
  EXPECT_EQ(host_.variable("slot1"), Value(0));
  EXPECT_TRUE(host_.variable("retry_step").is_none());
}

TEST_F(FeedlaneSlotLoad, UnloadOfTheSlotThatFeedsTheExtruderIsRefused) {
  insert(0);
  ASSERT_TRUE(load());
  move(0, 400);
  host_.save("last_load_slot", "\"'slot0'\"");
  const double before = tip();
  EXPECT_EQ(testing_support::without_advice(unload()),
            std::vector<std::string>{"!!Code:ZKE_004_004; Message:Please unload extruder first."});
  EXPECT_EQ(tip(), before);
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_004_0"));
  EXPECT_EQ(host_.variable("slot0"), Value(1));
}

TEST_F(FeedlaneSlotLoad, UnloadWorksWhileAnotherSlotOccupiesTheOutlet) {
  insert(0);
  ASSERT_TRUE(load());
  insert(1);
  move(1, 400);
  host_.save("last_load_slot", "\"'slot1'\"");
  EXPECT_THAT(unload(0), ElementsAre(SuccessLine("Unloaded 1A to its sensor")));
  EXPECT_NEAR(tip(0), 0.0, 1e-6);
  EXPECT_EQ(host_.variable("slot0"), Value(0));
}

TEST_F(FeedlaneSlotLoad, AJammedUnloadFailsWithAWarning) {
  insert(0);
  ASSERT_TRUE(load());
  const double before = tip();
  host_.command("SIM_FAULT SLOT=0 KIND=jam");
  EXPECT_EQ(testing_support::without_advice(unload()),
            std::vector<std::string>{
                "!Code:ZKE_004_003; Message:Slot unloading failure, please unload 1A "
                "again."});
  EXPECT_EQ(tip(), before);
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_003_0"));
  EXPECT_EQ(host_.variable("slot0"), Value(-1));
  EXPECT_TRUE(lane().slot_not_unload());
}

TEST_F(FeedlaneSlotLoad, AnUnloadThatCannotHomeKeepsTheSlotsSavedState) {
  insert(0);
  ASSERT_TRUE(load());
  const Value state = host_.variable("slot0");
  host_.box_mcu().set_connected(false);
  const auto lines = unload();
  host_.box_mcu().set_connected(true);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Communication timeout during homing"), std::string::npos) << lines[0];
  // The unload did not happen, and the saved state does not claim it did.
  EXPECT_EQ(host_.variable("slot0"), state);
  EXPECT_TRUE(lane().slot_not_unload());
}

class FeedlaneJam : public FeedlaneSlotLoad {
 protected:
  // Pushes slot 0's filament past the motion encoder, then homes towards the extruder
  // entry watched by the motion monitor; returns the speeds of the attempts.
  // `each_step`, when given, runs after every step of the simulation meanwhile.
  std::vector<double> home_to_entry(double speed_mm_s, bool jam, bool* success,
                                    const std::function<void()>& each_step = nullptr) {
    insert(0);
    move(0, 400);
    if (jam) host_.command("SIM_FAULT SLOT=0 KIND=jam");
    auto& hub = host_.hub();
    std::vector<double> speeds;
    host_.host().reactor().update_timer(hub.sensors().e_endstop_timer(), klippy::Reactor::NOW);
    host_.run_task(
        [&] {
          *success =
              lane().do_home_repeatedly(hub.sensors().e_endstop(), 1060, speed_mm_s, 300, false);
        },
        [&] {
          const double watched = 2 * hub.sensors().b_motion().motion_speed();
          if (hub.sensors().b_motion().endstop_name() && watched > 0 &&
              (speeds.empty() || speeds.back() != watched))
            speeds.push_back(watched);
          if (each_step) each_step();
        });
    host_.host().reactor().update_timer(hub.sensors().e_endstop_timer(), klippy::Reactor::NEVER);
    return speeds;
  }
};

TEST_F(FeedlaneJam, APersistentJamIsRetriedAtHalfSpeedDownToTenMmS) {
  bool success = true;
  EXPECT_EQ(home_to_entry(80, true, &success), (std::vector<double>{80, 40, 20, 10}));
  EXPECT_FALSE(success);
  EXPECT_TRUE(host_.hub().sensors().e_endstop().scram()) << "left as the last attempt set it";
  EXPECT_EQ(host_.hub().sensors().b_motion().motion_speed(), 0.)
      << "the monitor is reset after the move";
}

// Before each retry the motor turns back 5 mm, towards the spool, to loosen the strand;
// pushing on instead would only press the jam tighter.
TEST_F(FeedlaneJam, EachRetryFirstBacksOffTowardsTheSpool) {
  auto& motor = dynamic_cast<sim::SimStepper&>(lane().stepper());
  // The motor's motion between two steps of the simulation, summed over each run of
  // backward motion.
  double seen_until = host_.print_time();
  std::vector<double> back_offs_mm;
  bool backwards = false;
  auto follow_the_motor = [&] {
    const double now = host_.print_time();
    for (const sim::Segment& segment : motor.segments(seen_until, now)) {
      const double from = std::max(segment.start_time, seen_until);
      const double to = std::min(segment.end_time, now);
      if (to <= from) continue;
      const double moved_mm = segment.position_at(to) - segment.position_at(from);
      if (moved_mm > 1e-9) backwards = false;
      if (moved_mm >= -1e-9) continue;
      if (!backwards) back_offs_mm.push_back(0.);
      back_offs_mm.back() += moved_mm;
      backwards = true;
    }
    seen_until = std::max(seen_until, now);
  };
  bool success = true;
  ASSERT_EQ(home_to_entry(80, true, &success, follow_the_motor).size(), 4u);
  const auto five_back = testing::DoubleNear(-5., 1e-6);
  EXPECT_THAT(back_offs_mm, ElementsAre(five_back, five_back, five_back));
}

TEST_F(FeedlaneJam, HalfOfFifteenIsBelowTheFloorSoRetriesRunAtTen) {
  bool success = true;
  EXPECT_EQ(home_to_entry(15, true, &success), (std::vector<double>{15, 10}));
  EXPECT_FALSE(success);
}

TEST_F(FeedlaneJam, FreeFilamentReachesTheEntryAtTheFirstAttempt) {
  bool success = false;
  EXPECT_EQ(home_to_entry(80, false, &success), std::vector<double>{80});
  EXPECT_TRUE(success);
  EXPECT_FALSE(host_.hub().sensors().e_endstop().scram());
  const double entry_mm = world().geometry().entry_mm();
  EXPECT_GE(tip(), entry_mm);
  // A push at full speed against the entry runs on until a report of the sensor shows the
  // filament (up to 0.63 s) and its endstop follows (0.11 s).
  EXPECT_LE(tip(), entry_mm + 80. * 0.74);
}

// With another slot's strand at the outlet, a parked strand is not pushed on again.
TEST_F(FeedlaneSlotLoad, ReloadAllNeverPushesAParkedStrandOn) {
  for (int slot : {0, 1}) {
    insert(slot);
    ASSERT_TRUE(load(slot));
  }
  host_.command("EXTRUDER_LOAD SLOT=slot1");
  host_.settle(1);
  ASSERT_EQ(host_.variable("slot_sync"), Value("slot1"));
  const double parked = tip(0);
  for (int i = 0; i < 3; ++i) host_.command("RELOAD_ALL");
  host_.host().advance(2.0);
  EXPECT_EQ(tip(0), parked);
  EXPECT_EQ(host_.variable("slot0"), Value(1));
}

// Its strand pulled back, the box would still believe the slot is in the extruder.
TEST_F(FeedlaneSlotLoad, RunStepperRefusesTheSlotInTheExtruder) {
  insert(0);
  ASSERT_TRUE(load());
  host_.command("EXTRUDER_LOAD SLOT=slot0");
  host_.settle(0);
  ASSERT_EQ(host_.variable("slot_sync"), Value("slot0"));
  const double before = tip();
  const auto lines = host_.command("RUN_STEPPER STEPPER=0");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(),
            "!! RUN_STEPPER: 1A (slot0) is loaded into the extruder; unload it first with "
            "EXTRUDER_UNLOAD SLOT=slot0");
  host_.host().advance(2.0);
  EXPECT_EQ(tip(), before);
  EXPECT_EQ(lane(0).extruder_stepper().synced_extruder(), "extruder");
}

TEST_F(FeedlaneSlotLoad, CouplingLeavesExactlyOneSlotOnTheExtruder) {
  insert(0);
  ASSERT_TRUE(load());
  host_.run_task([&] {
    lane(2).slot_sync(true);
    lane(0).slot_sync(true);
  });
  for (int slot = 0; slot < 4; ++slot)
    EXPECT_EQ(lane(slot).extruder_stepper().synced_extruder(), slot == 0 ? "extruder" : "") << slot;
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot0"));

  const double before = tip();
  host_.command("M83");
  host_.command("G1 E25 F600");
  host_.command("M400");
  EXPECT_NEAR(tip() - before, 25.0, 1e-6) << "the coupled strand follows the extruder";

  host_.run_task([&] { lane(0).slot_sync(false); });
  EXPECT_EQ(lane(0).extruder_stepper().synced_extruder(), "");
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot-1"));
  host_.command("G1 E10 F600");
  host_.command("M400");
  EXPECT_NEAR(tip() - before, 25.0, 1e-6);
}

TEST_F(FeedlaneSlotLoad, CouplingWithABoxCountBeyondTheConfiguredSlotsSaysWhatToFix) {
  host_.save("box_count", "2");
  std::string error;
  try {
    host_.run_task([&] { lane(1).slot_sync(true); });
  } catch (const klippy::CommandError& e) {
    error = e.what();
  }
  EXPECT_EQ(error,
            "Coupling slot1 to the extruder: no slot feeder 'feedlane slot4'; 'slot4' is not a "
            "configured slot. Name a "
            "configured slot, or check the saved variables (box_count, last_load_slot, slot_sync, "
            "value_tN) and the [feedlane slotN] sections of the printer configuration.");
  EXPECT_EQ(lane(1).extruder_stepper().synced_extruder(), "");
}

// The loaded slot's coupling comes back at ready without a save, so a box count that names
// slots the printer lacks does not stand in its way.
TEST_F(FeedlaneSlotLoad, ARestartWithABoxCountBeyondTheSlotsCouplesTheLoadedSlotAgain) {
  insert(0);
  ASSERT_TRUE(load());
  host_.command("EXTRUDER_LOAD SLOT=slot0");
  host_.settle(0);
  ASSERT_EQ(host_.variable("slot_sync"), Value("slot0"));
  host_.save("box_count", "2");
  host_.restart();
  // Coupled once the entry sensor has reported.
  host_.host().advance(2.5);
  EXPECT_EQ(host_.host().printer().shutdown_message(), "") << "not shut down";
  for (int slot = 0; slot < 4; ++slot)
    EXPECT_EQ(lane(slot).extruder_stepper().synced_extruder(), slot == 0 ? "extruder" : "") << slot;
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot0"));
  EXPECT_EQ(host_.command("SAVE_VARIABLE VARIABLE=box_count VALUE=1"), std::vector<std::string>{});
  EXPECT_EQ(host_.variable("box_count"), Value(1));
}

TEST(FeedlaneCoupling, CouplingOneSlotReleasesEveryOtherUpToTheLastSlotOfTheLastBox) {
  LaneHost host;
  host.start({.slots = 8}, "[Variables]\nbox_count = 2\n");
  auto synced = [&](int slot) { return host.lane(slot).extruder_stepper().synced_extruder(); };
  for (const int first : {7, 4, 3}) {
    SCOPED_TRACE(first);
    host.run_task([&] {
      host.lane(first).slot_sync(true);
      host.lane(0).slot_sync(true);
    });
    for (int slot = 0; slot < 8; ++slot)
      EXPECT_EQ(synced(slot), slot == 0 ? "extruder" : "") << slot;
    EXPECT_EQ(host.variable("slot_sync"), Value("slot0"));
  }
  host.run_task([&] { host.lane(7).slot_sync(true); });
  for (int slot = 0; slot < 8; ++slot) EXPECT_EQ(synced(slot), slot == 7 ? "extruder" : "") << slot;
}

}  // namespace
