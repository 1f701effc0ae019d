// The front buttons E_LOAD, E_UNLOAD and E_BOX against the filament world: which strands
// move, at which nozzle temperature, and that the box is never left shown busy.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "klippy/extras/feedhub/filament_table.h"
#include "sim/host/heater.h"
#include "sim/host/heaters.h"
#include "sim/host/print_job.h"
#include "tests/extras/feedlane_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedlane_test::kGeometry;
using feedlane_test::kParkMm;
using feedlane_test::LaneHost;
using klippy::Value;
using testing::ElementsAre;
using testing_support::SuccessLine;

// The sensors reach their endstops through the host's 10 ms mirror timers and the host's
// 100 ms minimum schedule time: up to 0.114 s, some 11 mm at 100 mm/s.
constexpr double kOvershootMm = 12.;

constexpr const char* kMacros =
    "[fan]\npin: PA8\n[gcode_macro DISABLE_ALL_SENSOR]\ngcode:\n"
    "    SET_FILAMENT_SENSOR SENSOR=box_motion_sensor ENABLE=0\n";
// Slot 0 holds a 250 °C filament, slot 1 a 220 °C one.
constexpr const char* kTable =
    "[fila1]\nmin_temp: 190\nmax_temp: 220\nbox_min_temp: 40\nbox_max_temp: 50\n"
    "[fila2]\nmin_temp: 230\nmax_temp: 250\nbox_min_temp: 50\nbox_max_temp: 60\n";

class FrontButtons : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.start({.world = true, .extra = kMacros},
                "[Variables]\nbox_count = 1\nfilament_slot0 = 2\nfilament_slot1 = 1\n");
    testing_support::write_file(host_.test().path(feedhub::kFilamentTablePath), kTable);
    // Past the start-up self-inspection, which finds the box empty.
    host_.host().advance(3.5);
    host_.host()
        .printer()
        .lookup_object<sim::SimHeaters>(sim::SimHeaters::kName)
        .lookup_heater("extruder")
        .set_target_observer([this](double degrees) { targets_.push_back(degrees); });
  }
  sim::StrandState strand(int slot) { return host_.strand(slot); }
  void park(int slot) { ASSERT_TRUE(host_.park(slot)); }
  // Parked, fed into the extruder and purged, so that the gears hold it.
  void load(int slot) {
    park(slot);
    const auto lines = command("EXTRUDER_LOAD SLOT=slot" + std::to_string(slot), slot);
    ASSERT_THAT(lines, ElementsAre(SuccessLine("Loaded " + feedhub::slot_label(slot) +
                                               " into the extruder")));
    command("M83");
    command("G1 E100 F300");
    command("M400", slot);
    targets_.clear();
  }
  // What the command printed, less the temperature reports of a heating wait.
  std::vector<std::string> command(const std::string& line, int slot = 0) {
    std::vector<std::string> lines;
    for (auto& text : host_.command(line))
      if (!text.starts_with("T0:")) lines.push_back(std::move(text));
    host_.settle(slot);
    return lines;
  }
  int busy() { return host_.hub().sensors().box_button_state(); }

  LaneHost host_;
  std::vector<double> targets_;
};

TEST_F(FrontButtons, LoadWithAnUnknownFilamentInTheOutletOnlyReports) {
  park(0);
  park(1);
  host_.run_task([&] { host_.lane(0).do_move(kParkMm + 20, 80); });  // slot 0 into the outlet
  host_.settle(0);
  host_.host().advance(0.1);
  ASSERT_EQ(host_.variable("last_load_slot"), Value("slot-1"));
  const double tip = strand(1).tip_mm;
  EXPECT_EQ(
      testing_support::without_advice(command("E_LOAD SLOT=1", 1)),
      std::vector<std::string>{"!!Code:ZKE_004_021; Message:Unable to recognize loaded filament."});
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_021_00"));
  EXPECT_EQ(strand(1).tip_mm, tip);
  EXPECT_FALSE(host_.enable_line(1).is_motor_enabled());
  EXPECT_EQ(targets_, std::vector<double>{0});
  EXPECT_EQ(busy(), 0);
}

TEST_F(FrontButtons, LoadReplacingAHotterFilamentPurgesAtTheHotterTemperature) {
  park(1);
  load(0);
  const auto lines = command("E_LOAD SLOT=1", 1);
  EXPECT_THAT(lines, ElementsAre(SuccessLine("Unloaded 1A from the extruder"),
                                 SuccessLine("Loaded 1B into the extruder")));
  // Heated for the new filament, purged at the old one's temperature, then switched off.
  EXPECT_EQ(targets_, (std::vector<double>{220, 250, 0}));
  EXPECT_EQ(host_.variable("slot0"), Value(1));
  EXPECT_EQ(host_.variable("slot1"), Value(2));
  EXPECT_EQ(host_.variable("last_load_slot"), Value("slot1"));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot1"));
  EXPECT_TRUE(strand(1).gripped_by_extruder);
  EXPECT_NEAR(strand(0).tip_mm, kGeometry.outlet_mm - kParkMm, kOvershootMm);
  EXPECT_EQ(host_.toolhead().get_position()[0], 95.);
  EXPECT_EQ(host_.toolhead().get_position()[1], 290.);
  EXPECT_EQ(busy(), 0);
}

TEST_F(FrontButtons, UnloadWithAClearOutletOnlyWaitsAndAnswersFalse) {
  park(0);
  const auto position = host_.toolhead().get_position();
  auto& gcode = host_.host().printer().lookup_object<klippy::GCodeDispatch>("gcode");
  klippy::GCodeCommand gcmd(gcode, "E_UNLOAD", "E_UNLOAD SLOT=0", {{"SLOT", "0"}});
  bool unloaded = true;
  host_.run_task([&] { unloaded = host_.hub().button_extruder_unload(gcmd); });
  EXPECT_FALSE(unloaded);
  EXPECT_TRUE(targets_.empty());
  EXPECT_EQ(host_.toolhead().get_position(), position);
  EXPECT_NEAR(strand(0).tip_mm, kGeometry.outlet_mm - kParkMm, kOvershootMm);
  EXPECT_EQ(busy(), 0);
}

TEST_F(FrontButtons, BoxUnloadOfAnotherSlotRetractsOnlyThatSlot) {
  park(1);
  load(0);
  const double tip = strand(0).tip_mm;
  EXPECT_THAT(command("E_BOX SLOT=1", 1), ElementsAre(SuccessLine("Unloaded 1B to its sensor")));
  EXPECT_NEAR(strand(1).tip_mm, 0., kOvershootMm) << "back at its runout sensor";
  EXPECT_EQ(host_.variable("slot1"), Value(0)) << "as its sensor reports";
  EXPECT_EQ(strand(0).tip_mm, tip);
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot0"));
  EXPECT_TRUE(targets_.empty());
  EXPECT_EQ(busy(), 0);
}

TEST_F(FrontButtons, BoxUnloadOfTheLoadedSlotEmptiesTheExtruderThenTheBox) {
  load(0);
  // The box shows busy from the first move to the last, also while the slot is pulled out
  // of the box after the extruder unload (a command of its own) has ended.
  const double started = host_.print_time();
  double idle_while_moving = 0.;
  klippy::Reactor& reactor = host_.host().reactor();
  auto watch = reactor.register_timer(
      [&](double eventtime) {
        if (busy() == 0 && host_.lane(0).next_cmd_time() > host_.print_time() &&
            host_.print_time() > started)
          idle_while_moving += 0.05;
        return eventtime + 0.05;
      },
      klippy::Reactor::NOW);
  EXPECT_THAT(command("E_BOX SLOT=0"), ElementsAre(SuccessLine("Unloaded 1A from the extruder"),
                                                   SuccessLine("Unloaded 1A to its sensor")));
  reactor.unregister_timer(watch);
  EXPECT_EQ(idle_while_moving, 0.) << "seconds the slot moved while the box showed idle";
  EXPECT_EQ(targets_, (std::vector<double>{250, 0}));
  EXPECT_NEAR(strand(0).tip_mm, 0., kOvershootMm);
  EXPECT_EQ(host_.variable("slot0"), Value(0)) << "as its sensor reports";
  EXPECT_EQ(host_.variable("last_load_slot"), Value("slot-1"));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot-1"));
  EXPECT_EQ(host_.hub().sensors().b_endstop_state(), 1);
  EXPECT_EQ(busy(), 0);
}

TEST_F(FrontButtons, BoxUnloadKeepsAStrandWhoseExtruderUnloadFailedOutOfTheBox) {
  load(0);
  host_.command("SIM_FAULT SLOT=0 KIND=jam");
  const auto lines = command("E_BOX SLOT=0");
  EXPECT_EQ(testing_support::without_advice(lines),
            (std::vector<std::string>{"// Code:ZKE_004_009; Message:Extruder unloading failure.",
                                      "Extruder unloading failure.Please try again."}));
  EXPECT_GT(strand(0).tip_mm, kGeometry.outlet_mm);
  EXPECT_EQ(host_.variable("slot0"), Value(-2));
  EXPECT_EQ(busy(), 0);
}

// The old strand does not come out: the new one is not pushed against it, the failure keeps
// its own step, and the nozzle is not left hot.
TEST_F(FrontButtons, LoadStopsWhenTheOldStrandDoesNotComeOut) {
  park(1);
  load(0);
  const double tip = strand(1).tip_mm;
  host_.command("SIM_FAULT SLOT=0 KIND=jam");
  const auto lines = testing_support::without_advice(command("E_LOAD SLOT=1", 1));
  EXPECT_EQ(lines,
            std::vector<std::string>{"// Code:ZKE_004_009; Message:Extruder unloading failure."});
  EXPECT_EQ(strand(1).tip_mm, tip);
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_009_0"));
  ASSERT_FALSE(targets_.empty());
  EXPECT_EQ(targets_.back(), 0.);
  EXPECT_EQ(busy(), 0);
}

// A load that fails has nothing to purge: the nozzle cools again at once.
TEST_F(FrontButtons, AFailedLoadPurgesNothing) {
  park(0);
  host_.command("SIM_FAULT SLOT=0 KIND=jam");
  const auto lines = testing_support::without_advice(command("E_LOAD SLOT=0"));
  EXPECT_EQ(lines,
            std::vector<std::string>{"// Code:ZKE_004_006; Message:Extruder loading failure."});
  ASSERT_FALSE(targets_.empty());
  EXPECT_EQ(targets_.back(), 0.);
  EXPECT_EQ(host_.toolhead().get_position()[3], 0.) << "no purge extruded";
  EXPECT_EQ(busy(), 0);
}

TEST_F(FrontButtons, BoxUnloadNeverPullsAnUnknownFilamentOutOfTheExtruder) {
  load(0);
  host_.save("last_load_slot", "'slot-1'");
  const double tip = strand(0).tip_mm;
  EXPECT_EQ(
      testing_support::without_advice(command("E_BOX SLOT=0")),
      std::vector<std::string>{"!!Code:ZKE_004_021; Message:Unable to recognize loaded filament."});
  EXPECT_EQ(strand(0).tip_mm, tip);
  EXPECT_EQ(busy(), 0);
}

TEST_F(FrontButtons, ErrorsNameTheFaultAndLeaveTheBoxFree) {
  for (const std::string name : {"E_LOAD", "E_UNLOAD", "E_BOX"}) {
    const auto lines = command(name);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(
        lines.back(),
        "!! " + name +
            ": no slot feeder 'feedlane slot16'; 'slot16' is not a configured slot. Name a "
            "configured slot, or check the saved variables (box_count, last_load_slot, slot_sync, "
            "value_tN) and the [feedlane slotN] sections of the printer configuration.");
    EXPECT_EQ(busy(), 0) << name;
  }
  park(1);
  host_.save("filament_slot1", "7");
  EXPECT_EQ(command("E_LOAD SLOT=1", 1),
            (std::vector<std::string>{
                "officiall_filas_list file error.",
                "!! E_LOAD: no nozzle temperature for the filament of slot1; set filament_slot1 "
                "to a filament type of the filament table, or correct the table"}));
  EXPECT_TRUE(targets_.empty());
  EXPECT_FALSE(host_.enable_line(1).is_motor_enabled());
  EXPECT_EQ(busy(), 0);
}

}  // namespace

namespace {

// A running print keeps its filament and its nozzle heat: the buttons wait for a pause.
TEST_F(FrontButtons, ButtonsAreRefusedWhilePrintingAndWorkWhilePaused) {
  load(0);
  const double tip = strand(0).tip_mm;
  auto& job = host_.host().printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
  // Short lines: commands typed at the console run between them, as in the host.
  job.start("long.gcode", std::vector<std::string>(600, "G4 P1000"));
  host_.host().advance(1.0);
  for (const std::string line : {"E_LOAD SLOT=1", "E_UNLOAD SLOT=0", "E_BOX SLOT=0"}) {
    const auto lines = command(line);
    ASSERT_FALSE(lines.empty()) << line;
    EXPECT_THAT(lines.back(), testing::HasSubstr("a print is running")) << line;
  }
  EXPECT_EQ(strand(0).tip_mm, tip);
  EXPECT_TRUE(targets_.empty());
  EXPECT_EQ(busy(), 0);
  command("PAUSE");
  EXPECT_THAT(command("E_UNLOAD SLOT=0"),
              testing::Not(testing::Contains(testing::HasSubstr("a print is running"))));
  EXPECT_LT(strand(0).tip_mm, tip);
}

}  // namespace
