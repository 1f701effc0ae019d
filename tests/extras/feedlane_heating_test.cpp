// Box heating for prints and timed drying, on a simulated box whose heater has the range of
// the shipped printer configuration (0 to 70 °C).
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "klippy/extras/feedhub/filament_table.h"
#include "sim/heater.h"
#include "sim/heaters.h"
#include "tests/extras/feedlane_fixture.h"

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
    // The slots report their empty sensors first: a drying ignores sensor changes, and the
    // start-up self-inspection would take the slots for loaded ones and move them.
    lane_host_.host().advance(0.5);
    heater().set_target_observer(
        [this](double degrees) { targets_.emplace_back(lane_host_.now(), degrees); });
    auto& gcode = lane_host_.host().printer().lookup_object<klippy::GCodeDispatch>("gcode");
    // Where the service command is not built in, a stand-in turns the slot the same way.
    if (!gcode.is_registered("RUN_STEPPER")) {
      gcode.register_command("RUN_STEPPER", [this](klippy::GCodeCommand& gcmd) {
        auto& lane = lane_host_.lane(static_cast<int>(gcmd.get_int("STEPPER", 0)));
        lane.do_move(-50, 80, 50);
        lane.dwell(0.5);
        lane.disable_stepper();
      });
    }
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
  const double start = lane_host_.now();
  EXPECT_EQ(lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=55"),
            std::vector<std::string>{"// BOX_DRY started for BOX 1"});
  ASSERT_EQ(targets_.size(), 1u);
  EXPECT_EQ(targets_[0].second, 55);
  EXPECT_TRUE(slots_drying(true));

  run_to(start + 299);
  EXPECT_LT(slot_moves_end(0), start + 1);
  // The four slots turn one after the other, each followed by a 5 s pause.
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
  EXPECT_TRUE(lane_host_.hub().heating_timers().empty());
}

TEST_F(HeatingTest, DryingIsStoppedOrRefusedByCommand) {
  EXPECT_EQ(lane_host_.command("ENABLE_BOX_DRY BOX=2 TEMP=55"),
            std::vector<std::string>{"!!Invalid BOX number. Available: 1-1"});
  EXPECT_EQ(lane_host_.command("ENABLE_BOX_DRY BOX=1 END_TIME=0 TEMP=55"),
            std::vector<std::string>{"// Parameter setting error, please reset."});
  EXPECT_EQ(lane_host_.command("ENABLE_BOX_DRY BOX=1"),
            std::vector<std::string>{"// Parameter setting error, please reset."});
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
  // Nothing turns once the drying is off.
  run_to(start + 2 * kHourS);
  EXPECT_LT(slot_moves_end(0), start + 1);
}

TEST_F(HeatingTest, DryingTheHeaterRefusesNeverStarts) {
  auto lines = lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=90");
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("Requested temperature (90.0) out of range (0.0:70.0)"),
            std::string::npos)
      << lines.back();
  EXPECT_TRUE(slots_drying(false));
  EXPECT_TRUE(lane_host_.hub().heating_timers().empty());

  // A drying replaced by a refused one does not leave its heater on without an end.
  lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=50");
  lane_host_.command("ENABLE_BOX_DRY BOX=1 TEMP=90");
  EXPECT_TRUE(slots_drying(false));
  EXPECT_TRUE(lane_host_.hub().heating_timers().empty());
  EXPECT_EQ(targets_.back().second, 0);
  const double refused = lane_host_.now();
  run_to(refused + 600);
  EXPECT_LT(slot_moves_end(0), refused + 1);
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
  EXPECT_EQ(lane_host_.hub().box_print_heat_state()[0], 1);

  lane_host_.command("DISABLE_BOX_HEATER");
  EXPECT_EQ(targets_.back().second, 0);
  EXPECT_EQ(lane_host_.hub().box_print_heat_state()[0], 1);
}

TEST_F(HeatingTest, TemperatureLookupsTellWhyNothingIsFound) {
  write_table("[fila1]\nmin_temp: 190\nmax_temp: 230\nbox_min_temp: 40\nbox_max_temp: 50\n");
  auto& hub = lane_host_.hub();
  // A slot whose filament was never read counts as filament 1.
  EXPECT_EQ(hub.get_temp_by_slot("slot2")->max_temp, 230);
  EXPECT_EQ(hub.get_box_temp_by_slot("slot2")->max_temp, 50);
  EXPECT_EQ(hub.get_temp_by_num(2)->min_temp, 190);

  lane_host_.save("filament_slot0", "0");
  lane_host_.save("filament_slot3", "0");
  lane_host_.output().clear();
  EXPECT_FALSE(hub.get_temp_by_slot("slot3"));
  // The slot number is what is checked here, not the filament number.
  EXPECT_FALSE(hub.get_temp_by_num(3));
  EXPECT_FALSE(hub.get_temp_by_num(0));
  EXPECT_EQ(lane_host_.output(),
            (std::vector<std::string>{"officiall_filas_list file error.",
                                      "officiall_filas_list file error.", "filament num error."}));

  lane_host_.save("filament_slot3", "51");
  lane_host_.output().clear();
  EXPECT_FALSE(hub.get_box_temp_by_slot("slot3"));
  EXPECT_EQ(lane_host_.output(), std::vector<std::string>{"filament num error."});
}

}  // namespace
}  // namespace feedlane_test
