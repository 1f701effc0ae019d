// Extruder load and unload against the filament world: the filament's road from the box
// through the tube into the extruder and back, and every failure on the way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/host/print_stats.h"
#include "tests/extras/feedlane_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedlane_test::kGeometry;
using feedlane_test::kParkMm;
using feedlane_test::LaneHost;
using klippy::Value;
using testing::ElementsAre;
using testing_support::SuccessLine;

// The box sensors reach their endstops through the host's 10 ms mirror timers and the
// host's 100 ms minimum schedule time: up to 0.114 s, some 11 mm at 100 mm/s.
constexpr double kMirrorOvershootMm = 12.;

class ExtruderLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.start({.world = true}, "[Variables]\nbox_count = 1\n");
    host_.host().advance(0.5);
  }
  sim::FilamentWorld& world() { return host_.world().world(); }
  sim::StrandState strand(int slot) { return world().strand(slot, host_.print_time()); }
  void insert(int slot, const std::string& extra = "") {
    host_.command("SIM_SPOOL SLOT=" + std::to_string(slot) + " ACTION=insert" + extra);
    host_.host().advance(0.2);
  }
  // A spool inserted and pulled into the box, parked behind the outlet.
  void park(int slot) { ASSERT_TRUE(host_.park(slot)); }
  std::vector<std::string> command(const std::string& line, int slot = 0) {
    auto lines = host_.command(line);
    host_.settle(slot);
    return lines;
  }
  std::vector<std::string> load(int slot = 0) {
    return command("EXTRUDER_LOAD SLOT=slot" + std::to_string(slot), slot);
  }
  std::vector<std::string> unload(int slot = 0) {
    return command("EXTRUDER_UNLOAD SLOT=slot" + std::to_string(slot), slot);
  }
  void start_print() {
    host_.host().printer().lookup_object<sim::SimPrintStats>("print_stats").note_start("a.gcode");
  }
  bool paused() {
    return host_.host().printer().lookup_object<sim::SimPrintStats>("print_stats").state() ==
           "paused";
  }

  LaneHost host_;
};

TEST_F(ExtruderLoad, AParkedSlotIsFedIntoTheExtruderAndCoupled) {
  park(0);
  EXPECT_THAT(load(), ElementsAre(SuccessLine("Loaded 1A into the extruder")));
  EXPECT_EQ(host_.variable("slot0"), Value(2));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot0"));
  EXPECT_EQ(host_.variable("last_load_slot"), Value("slot0"));
  EXPECT_TRUE(host_.variable("retry_step").is_none());
  // The final approach ends at once: the entry sensor sees the filament already. The tip
  // waits there, short of the gears, for the coupled slot motor to push it in.
  EXPECT_GT(strand(0).tip_mm, kGeometry.entry_mm());
  EXPECT_FALSE(strand(0).gripped_by_extruder);
  const double before = strand(0).tip_mm;
  host_.command("M83");
  host_.command("G1 E30 F600");
  host_.command("M400");
  EXPECT_NEAR(strand(0).tip_mm - before, 30., 1e-6);
  EXPECT_TRUE(strand(0).gripped_by_extruder);
  // A second load of the coupled slot only says so.
  EXPECT_EQ(load(), std::vector<std::string>{"// 1A has been sync with Extruder."});
}

TEST_F(ExtruderLoad, AnEmptySlotAsksForFilamentAndPausesEvenOutsideAPrint) {
  EXPECT_EQ(testing_support::without_advice(load()),
            (std::vector<std::string>{
                "// Code:ZKE_004_005; Message:Please load the filament to 1A first."}));
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_005_0"));
  EXPECT_EQ(host_.variable("slot0"), Value(0)) << "as the empty slot's sensor said";
}

TEST_F(ExtruderLoad, FilamentOfAnotherSlotInTheOutletFailsAtOnceWithoutAMove) {
  park(0);
  park(1);
  host_.run_task([&] { host_.lane(1).do_move(kParkMm + 20, 80); });  // slot 1 into the outlet
  host_.settle(1);
  host_.host().advance(0.1);
  host_.save("last_load_slot", "'slot1'");
  const double tip = strand(0).tip_mm;
  EXPECT_EQ(testing_support::without_advice(load()),
            std::vector<std::string>{"// Code:ZKE_004_006; Message:Extruder loading failure."});
  EXPECT_EQ(strand(0).tip_mm, tip);
  EXPECT_EQ(host_.variable("slot0"), Value(-2));
  EXPECT_EQ(host_.variable("last_load_slot"), Value("slot1"))
      << testing::PrintToString(host_.output());
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_006_0"));
}

// A spool ran out and the extruder drew its tail past the outlet: the tail still covers the
// extruder entry, so a load of another slot would see the entry "reached" at once and claim
// a success with its own strand still in the box.
TEST_F(ExtruderLoad, TheTailOfARunOutStrandAtTheEntryRefusesTheLoadOfAnother) {
  park(0);
  park(1);
  load(0);
  host_.command("SIM_FAULT SLOT=0 KIND=runout LENGTH=50");
  host_.command("M83");
  for (int i = 0; i < 4; ++i) host_.command("G1 E150 F600");
  host_.command("M400");
  host_.host().advance(1.0);
  ASSERT_GT(strand(0).tail_mm, kGeometry.outlet_mm) << "the tail left the outlet";
  const double tip = strand(1).tip_mm;
  const auto lines = load(1);
  EXPECT_TRUE(testing_support::success_lines(lines).empty()) << testing::PrintToString(lines);
  EXPECT_THAT(lines, testing::Contains(testing::HasSubstr("entry sensor already sees filament")));
  EXPECT_EQ(strand(1).tip_mm, tip) << "nothing moved";
  EXPECT_NE(host_.variable("slot1"), Value(2));
  EXPECT_NE(host_.variable("slot_sync"), Value("slot1"));
}

TEST_F(ExtruderLoad, FilamentJammedInTheTubeFailsWithoutTheRecoveryPasses) {
  park(0);
  start_print();
  // Stuck a little past the outlet: the outlet sees it, the extruder entry never does.
  host_.run_task([&] { host_.lane(0).do_move(kParkMm + 100, 80); });
  host_.settle(0);
  host_.command("SIM_FAULT SLOT=0 KIND=jam");
  host_.save("last_load_slot", "'slot0'");
  const auto lines = load();
  EXPECT_EQ(testing_support::without_advice(lines).back(),
            "// Code:ZKE_004_006; Message:Extruder loading failure.");
  EXPECT_EQ(host_.variable("slot0"), Value(-2));
  EXPECT_EQ(host_.variable("slot_sync", "slot-1"), Value("slot-1"));
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_006_0"));
  // The motion monitor stopped the push through the tube: no recovery is tried.
  EXPECT_TRUE(host_.variable("load_retry_num").is_none());
  EXPECT_TRUE(paused());
}

// The extruder entry refuses the strand: it touches the entry sensor, springs back behind
// it and the entry stays closed, so only the recovery passes can still bring it in.
TEST_F(ExtruderLoad, ARefusedStrandGoesThroughBothRecoveryPassesAndEndsAtTheTrash) {
  park(0);
  start_print();
  host_.command("SIM_FAULT SLOT=0 KIND=entry_refused");
  // Each recovery pass pulls the strand back 50 mm from the closed entry before pushing.
  int pull_backs = 0;
  bool pulled_back = false;
  klippy::Reactor& reactor = host_.host().reactor();
  auto watch = reactor.register_timer(
      [&](double eventtime) {
        const bool now_back = strand(0).tip_mm < kGeometry.entry_mm() - 5. - 40.;
        if (now_back && !pulled_back && strand(0).tip_mm > kGeometry.entry_mm() - 200.)
          ++pull_backs;
        pulled_back = now_back;
        return eventtime + 0.02;
      },
      klippy::Reactor::NOW);
  const auto lines = load();
  reactor.unregister_timer(watch);
  EXPECT_EQ(pull_backs, 2);
  EXPECT_EQ(testing_support::without_advice(lines).back(),
            "// Code:ZKE_004_006; Message:Extruder loading failure.");
  EXPECT_EQ(host_.variable("load_retry_num"), Value(1));
  EXPECT_EQ(host_.variable("slot0"), Value(-2));
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_006_0"));
  EXPECT_TRUE(paused());
  // Every push after the refusal ended against the closed entry, none behind it.
  EXPECT_NEAR(strand(0).tip_mm, kGeometry.entry_mm() - 5., 1e-6);
  EXPECT_EQ(world().hall_diameter_mm(host_.print_time()), 0.);
}

TEST_F(ExtruderLoad, ARecoveryPassBringsTheStrandInOnceTheEntryTakesItAgain) {
  park(0);
  start_print();
  host_.command("SIM_FAULT SLOT=0 KIND=entry_refused");
  // The entry opens again once the recovery has begun (its counter is saved first).
  klippy::Reactor& reactor = host_.host().reactor();
  auto opener = reactor.register_timer(
      [&](double eventtime) {
        if (host_.variable("load_retry_num", 0) != Value(1)) return eventtime + 0.05;
        world().set_entry_refused(0, false, host_.print_time());
        return klippy::Reactor::NEVER;
      },
      klippy::Reactor::NOW);
  EXPECT_THAT(load(), ElementsAre(SuccessLine("Loaded 1A into the extruder")));
  reactor.unregister_timer(opener);
  EXPECT_EQ(host_.variable("load_retry_num"), Value(1));
  EXPECT_EQ(host_.variable("slot0"), Value(2));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot0"));
  EXPECT_TRUE(host_.variable("retry_step").is_none());
  EXPECT_FALSE(paused());
  EXPECT_GT(strand(0).tip_mm, kGeometry.entry_mm());
  // Coupled: the extruder's moves now take the slot's filament along.
  const double before = strand(0).tip_mm;
  host_.command("M83");
  host_.command("G1 E30 F600");
  host_.command("M400");
  EXPECT_NEAR(strand(0).tip_mm - before, 30., 1e-6);
}

// The entry sensor shows filament up to 0.63 s after it arrives (a report of the host's
// hall sensor), its endstop 0.11 s later (mirror timer and schedule). A push that reaches
// the entry at speed runs tens of mm past it; the load comes the last stretch slowly, so
// the strand stops that long at the approach speed past the entry, whatever the tube.
struct Approach {
  double tube_mm;
  double speed_mm_s;
};

class EntryApproach : public ::testing::TestWithParam<Approach> {};

TEST_P(EntryApproach, TheStrandStopsAFewMillimetresPastTheEntry) {
  constexpr double kLongestStopDelayS = 0.74;
  const auto [tube_mm, speed_mm_s] = GetParam();
  LaneHost host;
  host.start({.world = true, .world_options = "tube_length_mm: " + std::to_string(tube_mm) + "\n"},
             "[Variables]\nbox_count = 1\n");
  host.host().advance(0.5);
  ASSERT_TRUE(host.park(0));
  host.save("extruder_load_length_3_speed", std::to_string(speed_mm_s));
  const double entry_mm = kGeometry.outlet_mm + tube_mm;
  EXPECT_THAT(host.command("EXTRUDER_LOAD SLOT=slot0"),
              ElementsAre(SuccessLine("Loaded 1A into the extruder")));
  host.settle(0);
  EXPECT_GT(host.strand(0).tip_mm, entry_mm);
  EXPECT_LE(host.strand(0).tip_mm - entry_mm, speed_mm_s * kLongestStopDelayS);
  EXPECT_EQ(host.variable("slot_sync"), Value("slot0"));
}

// The tube as the tuned push expects it, and one so much shorter that the fast push meets
// the entry and comes back for the slow approach.
INSTANTIATE_TEST_SUITE_P(ExtruderLoad, EntryApproach,
                         testing::Values(Approach{1000., 10.}, Approach{1000., 5.},
                                         Approach{1000., 20.}, Approach{800., 10.}));

class ExtruderUnload : public ExtruderLoad {
 protected:
  void SetUp() override {
    ExtruderLoad::SetUp();
    park(0);
    ASSERT_THAT(load(), ElementsAre(SuccessLine("Loaded 1A into the extruder")));
    // Purged, so that the filament reaches through the cutter.
    host_.command("M83");
    host_.command("G1 E100 F300");
    host_.command("M400");
  }
};

TEST_F(ExtruderUnload, OutsideAPrintTheFilamentIsCutWithdrawnAndParked) {
  EXPECT_THAT(unload(), ElementsAre(SuccessLine("Unloaded 1A from the extruder")));
  EXPECT_EQ(host_.variable("slot0"), Value(1));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot-1"));
  EXPECT_EQ(host_.variable("last_load_slot"), Value("slot-1"));
  EXPECT_EQ(host_.hub().sensors().b_endstop_state(), 1);
  EXPECT_NEAR(strand(0).tip_mm, kGeometry.outlet_mm - kParkMm, kMirrorOvershootMm + 1);
  // The cut left a piece in the hotend.
  EXPECT_EQ(world().loose_pieces().size(), 1u);
  // Nothing left to withdraw the second time.
  EXPECT_EQ(testing_support::without_advice(unload()),
            std::vector<std::string>{"// Code:ZKE_004_007; Message:Extruder not loaded."});
  EXPECT_EQ(host_.variable("slot0"), Value(-1));
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_007_0"));
}

TEST_F(ExtruderLoad, AnUnloadRightAfterTheLoadWithdrawsTheStrandIntoTheBox) {
  // Straight from the spool, as a user does on a new box.
  insert(0);
  ASSERT_THAT(load(), ElementsAre(SuccessLine("Loaded 1A into the extruder")));
  // The cut's pull-back and pauses put the withdrawal seconds behind the command: the motion
  // monitor must not take the wait for a stall.
  EXPECT_THAT(unload(), ElementsAre(SuccessLine("Unloaded 1A from the extruder")));
  EXPECT_EQ(host_.variable("slot0"), Value(1));
  EXPECT_TRUE(host_.variable("retry_step").is_none());
  EXPECT_NEAR(strand(0).tip_mm, kGeometry.outlet_mm - kParkMm, kMirrorOvershootMm + 1);
}

TEST_F(ExtruderUnload, DuringAPrintTheFilamentIsNotCut) {
  start_print();
  EXPECT_THAT(unload(), ElementsAre(SuccessLine("Unloaded 1A from the extruder")));
  EXPECT_TRUE(world().loose_pieces().empty());
  EXPECT_EQ(host_.variable("slot0"), Value(1));
}

TEST_F(ExtruderUnload, AJammedPullBackFailsAndPausesThePrint) {
  start_print();
  host_.command("SIM_FAULT SLOT=0 KIND=jam");
  EXPECT_EQ(testing_support::without_advice(unload()),
            std::vector<std::string>{"// Code:ZKE_004_009; Message:Extruder unloading failure."});
  EXPECT_EQ(host_.variable("slot0"), Value(-2));
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_009_0"));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot-1"));
  EXPECT_TRUE(paused());
  EXPECT_FALSE(host_.enable_line(0).is_motor_enabled());
}

// Slot 0 in the extruder, purged through the cutter; slot 1 parked behind the outlet.
class CoupledSlot : public ExtruderLoad {
 protected:
  void SetUp() override {
    ExtruderLoad::SetUp();
    park(1);
    park(0);
    ASSERT_THAT(load(), ElementsAre(SuccessLine("Loaded 1A into the extruder")));
    host_.command("M83");
    host_.command("G1 E100 F300");
    host_.command("M400");
  }
  bool follows_extruder(int slot) {
    return host_.lane(slot).extruder_stepper().synced_extruder() == "extruder";
  }
  // How far the slot's strand moves while the extruder pushes `mm`.
  double moved_with_extruder(int slot, double mm) {
    host_.settle(slot);
    const double before = host_.lane(slot).stepper().get_commanded_position(1e9);
    host_.command("G1 E" + std::to_string(mm) + " F600");
    host_.command("M400");
    return host_.lane(slot).stepper().get_commanded_position(1e9) - before;
  }
};

TEST_F(CoupledSlot, ItsOwnMovesHandItBackToTheExtruder) {
  host_.save("value_t0", "'slot0'");
  const double before = strand(0).tip_mm;
  command("TIGHTEN_FILAMENT T=0");
  EXPECT_NEAR(strand(0).tip_mm, before, 1e-6) << "out and back";
  EXPECT_TRUE(follows_extruder(0));
  EXPECT_NEAR(moved_with_extruder(0, 10), 10, 1e-6);

  command("CUT_FILAMENT T=0");
  command("M400");
  EXPECT_EQ(world().loose_pieces().size(), 1u);
  EXPECT_TRUE(follows_extruder(0));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot0"));
  EXPECT_NEAR(moved_with_extruder(0, 10), 10, 1e-6);
  EXPECT_TRUE(host_.enable_line(0).is_motor_enabled());
  EXPECT_FALSE(follows_extruder(1));
}

TEST_F(CoupledSlot, TheCutComesAfterA35MmPullBackOfTheLoadedStrandIntoTheBox) {
  const double tip = strand(0).tip_mm;
  const double cutter_mm = world().geometry().cutter_mm();
  ASSERT_GT(tip - 35., cutter_mm) << "the purged strand reaches through the cutter";
  command("CUT_FILAMENT T=0");
  command("M400");
  ASSERT_EQ(world().loose_pieces().size(), 1u);
  // Cut 35 mm short of where the tip stood: only that much is left in the hotend.
  EXPECT_NEAR(world().loose_pieces()[0].tip_mm, tip - 35., 1e-6);
  EXPECT_NEAR(world().loose_pieces()[0].tail_mm, cutter_mm, 1e-6);
  EXPECT_NEAR(strand(0).tip_mm, cutter_mm, 1e-6);
}

// Unloading a slot that is not the one in the extruder would cut the loaded filament and
// pull the parked strand back past its sensor.
TEST_F(CoupledSlot, UnloadingAnotherSlotIsRefusedBeforeAnythingMoves) {
  const double tip0 = strand(0).tip_mm, tip1 = strand(1).tip_mm;
  const std::string variables =
      testing_support::read_file(host_.test().path(feedlane_test::kVariablesPath));
  EXPECT_EQ(unload(1), std::vector<std::string>{
                           "!! EXTRUDER_UNLOAD: slot1 is not the slot loaded into the extruder; "
                           "slot0 is. Unload slot0 instead."});
  EXPECT_EQ(host_.command("E_UNLOAD SLOT=1"),
            std::vector<std::string>{"!! E_UNLOAD: slot1 is not the slot loaded into the "
                                     "extruder; slot0 is. Unload slot0 instead."});
  host_.settle(1);
  EXPECT_EQ(strand(0).tip_mm, tip0);
  EXPECT_EQ(strand(1).tip_mm, tip1);
  EXPECT_TRUE(world().loose_pieces().empty()) << "nothing cut";
  EXPECT_EQ(testing_support::read_file(host_.test().path(feedlane_test::kVariablesPath)), variables)
      << "nothing saved";
  EXPECT_EQ(host_.hub().sensors().box_button_state(), 0);
  EXPECT_EQ(host_.toolhead().get_extruder().get_heater().get_temp(host_.now()).second, 0.)
      << "not heated";
  EXPECT_TRUE(follows_extruder(0));
}

// A save that fails once the outlet sensor's watch timer is woken must not leave the timer
// mirroring the sensor onto the endstop pin for ever.
TEST(ExtruderLoadFailure, AFailedSaveParksTheOutletWatch) {
  LaneHost host;
  host.start({.world = true}, "[Variables]\nbox_count = 1\n");
  host.host().advance(1.0);
  ASSERT_TRUE(host.park(0));
  // The variables file's folder becomes a regular file: nothing can be saved any more.
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(host.test().path(feedlane_test::kVariablesPath)).parent_path();
  fs::rename(folder, folder.string() + ".moved");
  testing_support::write_file(folder.string(), "not a folder\n");
  const auto lines = host.command("EXTRUDER_LOAD SLOT=slot0");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("!! Unable to save variable slot0 as 3", 0), 0u) << lines.back();
  // A running watch would copy any change of the outlet sensor onto the endstop pin.
  host.host().advance(1.0);
  const double pin = host.hub().sensors().b_output().digital_out_value();
  host.hub().sensors().b_button_callback(host.now(), pin == 0.0 ? 1 : 0);
  host.host().advance(1.0);
  EXPECT_EQ(host.hub().sensors().b_output().digital_out_value(), pin)
      << "the outlet watch still runs";
}

}  // namespace
