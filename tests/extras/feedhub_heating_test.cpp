// Box heating for prints and timed drying, on a simulated box whose heater has the range of
// the shipped printer configuration (0 to 70 °C).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "klippy/extras/feedhub/filament_table.h"
#include "sim/host/heater.h"
#include "sim/host/heaters.h"
#include "sim/host/print_stats.h"
#include "tests/extras/feedlane_fixture.h"
#include "tests/support/success_lines.h"

namespace feedlane_test {
namespace {

constexpr const char* kBoxHeater =
    "[heater_generic heater_box1]\nheater_pin: mcu_box1:PH0\n"
    "sensor_type: EPCOS 100K B57560G104F\nsensor_pin: mcu_box1:PH1\ncontrol: watermark\n"
    "min_temp: 0\nmax_temp: 70\n";
constexpr double kHourS = 3600.0;

class HeatingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lane_host_.start({.world = true, .extra = kBoxHeater}, "[Variables]\nbox_count = 1\n\n");
    lane_host_.host().advance(0.5);
    heater().set_target_observer(
        [this](double degrees) { targets_.emplace_back(lane_host_.now(), degrees); });
  }

  sim::SimHeater& heater() {
    return lane_host_.host()
        .printer()
        .lookup_object<sim::SimHeaters>(sim::SimHeaters::kName)
        .lookup_heater("heater_box1");
  }
  // Reactor time (s) at which the slot's latest feed move ends.
  double slot_moves_end(int slot) {
    return lane_host_.lane(slot).next_cmd_time() - (lane_host_.print_time() - lane_host_.now());
  }
  void run_to(double time_s) {
    lane_host_.host().run_until([&] { return lane_host_.now() >= time_s; }, 10 * kHourS);
  }
  bool slots_drying(bool drying) {
    for (int slot = 0; slot < 4; ++slot)
      if (lane_host_.lane(slot).is_drying() != drying) return false;
    return true;
  }
  void write_table(const std::string& text) {
    testing_support::write_file(lane_host_.test().path(feedhub::kFilamentTablePath), text);
  }

  LaneHost lane_host_;
  std::vector<std::pair<double, double>> targets_;
};

TEST_F(HeatingTest, DryingTurnsEverySlotOverUntilItsTimeIsUp) {
  for (int slot = 0; slot < 4; ++slot) ASSERT_TRUE(lane_host_.park(slot));
  lane_host_.output().clear();
  const double start = lane_host_.now();
  // The first line is what front ends wait for, the second what a person reads.
  EXPECT_EQ(lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=55"),
            (std::vector<std::string>{"// BOX_DRY started for BOX 1",
                                      "// Drying box 1 at 55 C for 8 h 00 min, turning its "
                                      "filament over every 5 min: DISABLE_BOX_DRY BOX=1 stops "
                                      "it."}));
  ASSERT_EQ(targets_.size(), 1u);
  EXPECT_EQ(targets_[0].second, 55);
  EXPECT_TRUE(slots_drying(true));

  run_to(start + 299);
  EXPECT_LT(slot_moves_end(0), start + 1);
  // The four slots turn one after the other, 5 s apart.
  run_to(start + 360);
  for (int slot = 0; slot < 4; ++slot) {
    EXPECT_GT(slot_moves_end(slot), start + 300 + 5 * slot) << slot;
    EXPECT_LT(slot_moves_end(slot), start + 360) << slot;
  }

  run_to(start + 8 * kHourS + 600);
  // The last turn is 300 s before the end, none at the end itself.
  for (int slot = 0; slot < 4; ++slot) {
    EXPECT_GT(slot_moves_end(slot), start + 8 * kHourS - 300) << slot;
    EXPECT_LT(slot_moves_end(slot), start + 8 * kHourS - 240) << slot;
  }
  ASSERT_GE(targets_.size(), 2u);
  EXPECT_EQ(targets_[1].second, 0);
  EXPECT_NEAR(targets_[1].first, start + 8 * kHourS, 1e-6);
  EXPECT_EQ(targets_.back().second, 0);
  EXPECT_TRUE(slots_drying(false));
  EXPECT_TRUE(lane_host_.hub().heating().dryings().empty());
  // The end says so once; the turn-overs on the way are the drying's own business.
  EXPECT_EQ(testing_support::success_lines(lane_host_.output()),
            std::vector<std::string>{"// Dried box 1 in 8 h 00 min."});
}

TEST_F(HeatingTest, DryingIsStoppedOrRefusedByCommand) {
  EXPECT_EQ(lane_host_.command("ENABLE_BOX_DRY BOX=2 TEMP=55"),
            std::vector<std::string>{"!!Invalid BOX number. Available: 1-1"});
  // Refusals are command errors, so that a macro asking for the drying stops too.
  for (const char* refused :
       {"ENABLE_BOX_DRY BOX=1 END_TIME=0 TEMP=55", "ENABLE_BOX_DRY BOX=1",
        "ENABLE_BOX_DRY BOX=1 TEMP=55 END_TIME=99999999999", "ENABLE_BOX_DRY BOX=1 TEMP=0x10"}) {
    const auto lines = lane_host_.command(refused);
    ASSERT_FALSE(lines.empty()) << refused;
    EXPECT_THAT(lines.back(), testing::StartsWith("!! ")) << refused;
  }
  EXPECT_THAT(lane_host_.command("ENABLE_BOX_DRY BOX=1 END_TIME=0 TEMP=55"),
              testing::Contains("!! Parameter setting error, please reset."));
  EXPECT_EQ(lane_host_.command("DISABLE_BOX_DRY"),
            std::vector<std::string>{"// No active heating for BOX 1"});
  EXPECT_TRUE(targets_.empty());

  const double start = lane_host_.now();
  lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=50 END_TIME=1");
  run_to(start + 100);
  EXPECT_EQ(lane_host_.command("DISABLE_BOX_DRY"),
            std::vector<std::string>{"// DISABLE_BOX_DRY for BOX 1"});
  EXPECT_TRUE(slots_drying(false));
  ASSERT_EQ(targets_.size(), 2u);
  EXPECT_EQ(targets_[1].second, 0);
  // Nothing turns once the drying is off, and a drying stopped early did not end.
  run_to(start + 2 * kHourS);
  EXPECT_LT(slot_moves_end(0), start + 1);
  EXPECT_TRUE(testing_support::success_lines(lane_host_.output()).empty())
      << testing::PrintToString(lane_host_.output());
}

TEST_F(HeatingTest, DryingTheHeaterRefusesNeverStarts) {
  auto lines = lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=90");
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("Requested temperature (90.0) out of range (0.0:70.0)"),
            std::string::npos)
      << lines.back();
  EXPECT_TRUE(slots_drying(false));
  EXPECT_TRUE(lane_host_.hub().heating().dryings().empty());

  // Retyped with a TEMP the heater refuses, the running drying goes on as it was; hours and
  // degrees may be fractional.
  lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=45.5 END_TIME=0.5");
  EXPECT_EQ(targets_.back().second, 45.5);
  lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=90");
  EXPECT_TRUE(slots_drying(true));
  EXPECT_EQ(targets_.back().second, 45.5);
  const double refused = lane_host_.now();
  run_to(refused + 600);
  EXPECT_TRUE(slots_drying(true));
  EXPECT_EQ(targets_.back().second, 45.5);
  run_to(refused + kHourS);
  EXPECT_TRUE(slots_drying(false));
  EXPECT_EQ(targets_.back().second, 0);
}

// What a print's start G-code sends while a box dries: the drying does not go on claiming a
// heat the print has taken over, nor end later as if it had dried.
TEST_F(HeatingTest, APrintTakingTheHeaterOverEndsTheDryingAndSaysSo) {
  write_table("[fila1]\nmin_temp: 190\nmax_temp: 230\nbox_min_temp: 40\nbox_max_temp: 50\n");
  lane_host_.world().world().insert_spool(0, {}, lane_host_.print_time());
  lane_host_.world().notify_changed();
  lane_host_.host().run_until([&] { return !lane_host_.lane(0).r_endstop_state(); }, 5);
  // Described as a user does for a spool whose tag cannot be read.
  lane_host_.command("BOX_SET_SLOT SLOT=1A FILAMENT=1 COLOR=red");
  lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=55 END_TIME=1");
  EXPECT_THAT(lane_host_.command("BOX_TEMP_SET VT0=45"),
              testing::Contains(testing::StartsWith(
                  "// Drying of box 1 ended early: BOX_TEMP_SET took its heater over.")));
  EXPECT_TRUE(slots_drying(false));
  lane_host_.command("DISABLE_BOX_HEATER");
  EXPECT_EQ(targets_.back().second, 0);
  run_to(lane_host_.now() + 2 * kHourS);
  EXPECT_TRUE(testing_support::success_lines(lane_host_.output()).empty())
      << testing::PrintToString(lane_host_.output());
}

// A print's end G-code switches every heater off: the drying stops showing time left at
// once, ends at its next turn-over with a line that says why, and never claims to have dried.
TEST_F(HeatingTest, ADryingWhoseHeaterWasSwitchedOffEndsAndSaysSo) {
  lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=55 END_TIME=1");
  lane_host_.command("SET_HEATER_TEMPERATURE HEATER=heater_box1 TARGET=0");
  EXPECT_THAT(lane_host_.command("BOX_STATUS"),
              testing::Not(testing::Contains(testing::HasSubstr("left"))));
  run_to(lane_host_.now() + 2 * kHourS);
  EXPECT_THAT(lane_host_.output(),
              testing::Contains(testing::StartsWith(
                  "// Drying of box 1 ended early: its heater was switched off")));
  EXPECT_TRUE(slots_drying(false));
  EXPECT_TRUE(testing_support::success_lines(lane_host_.output()).empty())
      << testing::PrintToString(lane_host_.output());
}

TEST_F(HeatingTest, PrintHeatTakesTheLowestWantedWithinTheBoxLimits) {
  write_table(
      "[fila1]\nmin_temp: 190\nmax_temp: 230\nbox_min_temp: 40\nbox_max_temp: 50\n"
      "[fila2]\nmin_temp: 250\nmax_temp: 280\nbox_min_temp: 60\nbox_max_temp: 65\n");
  lane_host_.save("filament_slot0", "1");
  lane_host_.save("filament_slot1", "2");
  lane_host_.save("value_t1", "'slot1'");
  for (int slot : {0, 1})
    lane_host_.world().world().insert_spool(slot, {}, lane_host_.print_time());
  lane_host_.world().notify_changed();
  lane_host_.host().run_until([&] { return !lane_host_.lane(1).r_endstop_state(); }, 5);

  lane_host_.command("DISABLE_BOX_HEATER");
  EXPECT_TRUE(targets_.empty());

  lane_host_.command("BOX_TEMP_SET VT0=45 VT1=60");
  ASSERT_EQ(targets_.size(), 1u);
  EXPECT_EQ(targets_[0].second, 45);
  lane_host_.command("BOX_TEMP_SET VT1=60");
  EXPECT_EQ(targets_.back().second, 50);
  EXPECT_TRUE(lane_host_.hub().heating().heats_for_print(1));

  lane_host_.command("DISABLE_BOX_HEATER");
  EXPECT_EQ(targets_.back().second, 0);
  EXPECT_TRUE(lane_host_.hub().heating().heats_for_print(1));
}

TEST_F(HeatingTest, TemperatureLookupsTellWhyNothingIsFound) {
  write_table("[fila1]\nmin_temp: 190\nmax_temp: 230\nbox_min_temp: 40\nbox_max_temp: 50\n");
  auto& hub = lane_host_.hub();
  // A slot whose filament was never read counts as filament 1.
  EXPECT_EQ(hub.heating().get_temp_by_slot("slot2")->max_temp, 230);
  EXPECT_EQ(hub.heating().get_box_temp_by_slot("slot2")->max_temp, 50);
  EXPECT_EQ(hub.heating().get_temp_by_num(2)->min_temp, 190);

  lane_host_.save("filament_slot0", "0");
  lane_host_.save("filament_slot3", "0");
  lane_host_.output().clear();
  EXPECT_FALSE(hub.heating().get_temp_by_slot("slot3"));
  // The slot number is what is checked here, not the filament number.
  EXPECT_FALSE(hub.heating().get_temp_by_num(3));
  EXPECT_FALSE(hub.heating().get_temp_by_num(0));
  EXPECT_EQ(lane_host_.output(),
            (std::vector<std::string>{"officiall_filas_list file error.",
                                      "officiall_filas_list file error.", "filament num error."}));

  lane_host_.save("filament_slot3", "51");
  lane_host_.output().clear();
  EXPECT_FALSE(hub.heating().get_box_temp_by_slot("slot3"));
  EXPECT_EQ(lane_host_.output(), std::vector<std::string>{"filament num error."});
}

// A turn-over moves each strand back and forward by the same distance: after hours of
// drying the strands are where they were, and the box still knows them as loaded.
TEST_F(HeatingTest, TurnOversLeaveEveryStrandWhereItWasAndSpareTheExtruderSlot) {
  ASSERT_TRUE(lane_host_.park(0));
  ASSERT_TRUE(lane_host_.park(1));
  lane_host_.command("EXTRUDER_LOAD SLOT=slot1");
  lane_host_.settle(1);
  ASSERT_EQ(lane_host_.variable("slot1"), klippy::Value(2));
  lane_host_.command("SIM_SPOOL SLOT=2 ACTION=insert");  // just inserted: at its sensor
  lane_host_.host().advance(0.5);
  std::vector<double> tips;
  for (int slot = 0; slot < 3; ++slot) tips.push_back(lane_host_.strand(slot).tip_mm);
  double lowest_tip_2 = tips[2];

  const double start = lane_host_.now();
  lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=55 END_TIME=1");
  lane_host_.host().run_until(
      [&] {
        lowest_tip_2 = std::min(lowest_tip_2, lane_host_.strand(2).tip_mm);
        return lane_host_.now() >= start + kHourS + 600;
      },
      2 * kHourS);
  EXPECT_LT(lowest_tip_2, 0.) << "turned back past its sensor";
  for (int slot = 0; slot < 3; ++slot)
    EXPECT_NEAR(lane_host_.strand(slot).tip_mm, tips[slot], 1e-6) << slot;
  EXPECT_EQ(lane_host_.variable("slot0"), klippy::Value(1));
  EXPECT_EQ(lane_host_.variable("slot1"), klippy::Value(2));
  EXPECT_EQ(lane_host_.variable("slot2"), klippy::Value(3));
  EXPECT_EQ(lane_host_.lane(2).r_endstop_state(), 0);
  EXPECT_EQ(lane_host_.lane(1).extruder_stepper().synced_extruder(), "extruder");
  EXPECT_TRUE(lane_host_.variable("retry_step").is_none());
  EXPECT_TRUE(slots_drying(false));
}

TEST_F(HeatingTest, DryingIsRefusedDuringAPrintAndSparesThePrintItOutlives) {
  ASSERT_TRUE(lane_host_.park(0));
  auto& stats = lane_host_.host().printer().lookup_object<sim::SimPrintStats>("print_stats");
  stats.note_start("a.gcode");
  EXPECT_EQ(lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=55"),
            std::vector<std::string>{
                "!! ENABLE_BOX_DRY: a print is running or paused; start drying once it has ended"});
  stats.note_pause();
  EXPECT_EQ(lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=55").size(), 1u);
  EXPECT_TRUE(targets_.empty());
  stats.note_cancel();

  lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=55");
  stats.note_start("b.gcode");
  const double start = lane_host_.now();
  // One turn-over time, short of the idle timeout: this print queues no motion, and a
  // printer idle for ten minutes switches its heaters off.
  run_to(start + 500);
  EXPECT_LT(slot_moves_end(0), start) << "no turn-over while the print runs";
  EXPECT_EQ(lane_host_.hub().heating().dryings().size(), 1u) << "the drying goes on";
}

TEST_F(HeatingTest, NothingTurnsOnceDisableHasAnswered) {
  for (int slot = 0; slot < 4; ++slot) ASSERT_TRUE(lane_host_.park(slot));
  const double start = lane_host_.now();
  lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=55");
  run_to(start + 301);
  ASSERT_GT(slot_moves_end(0), lane_host_.now()) << "slot 0 is turning";
  EXPECT_EQ(lane_host_.command("DISABLE_BOX_DRY BOX=1"),
            std::vector<std::string>{"// DISABLE_BOX_DRY for BOX 1"});
  const double answered = lane_host_.now();
  for (int slot = 0; slot < 4; ++slot) EXPECT_LT(slot_moves_end(slot), answered + 1e-6) << slot;
  run_to(answered + 1000);
  for (int slot = 0; slot < 4; ++slot) {
    EXPECT_LT(slot_moves_end(slot), answered + 1e-6) << slot;
    EXPECT_EQ(lane_host_.variable("slot" + std::to_string(slot)), klippy::Value(1)) << slot;
    EXPECT_EQ(lane_host_.lane(slot).r_endstop_state(), 0) << slot;
  }
}

// A failed turn-over ends the drying: the heater does not stay on without a timer. Box 2
// is saved as plugged in but has no slot sections yet.
TEST(HeatingFailure, AFailedTurnOverSwitchesTheHeaterOffAndSaysSo) {
  LaneHost host;
  const std::string second_heater =
      "[heater_generic heater_box2]\nheater_pin: mcu_box1:PH2\n"
      "sensor_type: EPCOS 100K B57560G104F\nsensor_pin: mcu_box1:PH3\ncontrol: watermark\n"
      "min_temp: 0\nmax_temp: 70\n";
  host.start({.world = true, .extra = kBoxHeater + second_heater},
             "[Variables]\nbox_count = 2\n\n");
  host.host().advance(0.5);
  const double start = host.now();
  host.command("ENABLE_BOX_DRY BOX=2 TEMP=55");
  host.host().run_until([&] { return host.now() >= start + 400; }, 1000);
  const std::string expected =
      "!!Error in heating: "
      "Drying: no slot feeder 'feedlane slot4'; 'slot4' is not a configured slot. Name a "
      "configured slot, or check the saved variables (box_count, last_load_slot, slot_sync, "
      "value_tN) and the [feedlane slotN] sections of the printer configuration.; drying of box 2 "
      "stopped and its heater switched off";
  EXPECT_TRUE(host.output_contains(expected)) << testing::PrintToString(host.output());
  auto& heater = host.host()
                     .printer()
                     .lookup_object<sim::SimHeaters>(sim::SimHeaters::kName)
                     .lookup_heater("heater_box2");
  EXPECT_EQ(heater.get_temp(host.now()).second, 0.);
  EXPECT_TRUE(host.hub().heating().dryings().empty());
  EXPECT_TRUE(testing_support::success_lines(host.output()).empty());
}

}  // namespace
}  // namespace feedlane_test
