// TRY_MOVE_AGAIN, AUTO_RELOAD_FILAMENT and TIGHTEN_FILAMENT against the filament world: a
// retried step repeats its action, and a paused print resumes only when it succeeded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "klippy/extras/feedhub/filament_table.h"
#include "sim/host/heater.h"
#include "sim/host/heaters.h"
#include "sim/host/print_job.h"
#include "sim/host/print_stats.h"
#include "tests/extras/feedlane_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedlane_test::kGeometry;
using feedlane_test::kParkMm;
using feedlane_test::LaneHost;
using klippy::Value;
using Lines = std::vector<std::string>;
using testing::ElementsAre;
using testing_support::success_lines;
using testing_support::SuccessLine;

// Parked strands stop short of the park position by the outlet endstop's delay (0.114 s).
constexpr double kOutletEndstopDelayMm = 12.;
constexpr const char* kPrinterMacros =
    "[gcode_macro DISABLE_ALL_SENSOR]\ngcode:\n"
    "    SET_FILAMENT_SENSOR SENSOR=box_motion_sensor ENABLE=0\n";
constexpr const char* kResumeAborted = "// Print is not paused, resume aborted";

bool contains(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class Retry : public ::testing::Test {
 protected:
  void start(int slots = 4) {
    // More than four slots on one box MCU: they all pass its one outlet.
    host_.start({.slots = slots,
                 .world = true,
                 .extra = kPrinterMacros,
                 .world_options = "boxes_share_outlet: True\n"},
                "[Variables]\nbox_count = 1\n");
    testing_support::write_file(host_.test().path(feedhub::kFilamentTablePath),
                                "[fila1]\nmin_temp: 190\nmax_temp: 230\nbox_min_temp: 40\n"
                                "box_max_temp: 50\n");
    host_.host()
        .printer()
        .lookup_object<sim::SimHeaters>("heaters")
        .lookup_heater("extruder")
        .set_target_observer([this](double degrees) { targets_.push_back(degrees); });
    host_.host().advance(0.5);
  }
  sim::FilamentWorld& world() { return host_.world().world(); }
  sim::StrandState strand(int slot) { return world().strand(slot, host_.print_time()); }
  void park(int slot) { ASSERT_TRUE(host_.park(slot)); }
  Lines command(const std::string& line, int slot = 0) {
    Lines lines = host_.command(line);
    host_.settle(slot);
    return lines;
  }
  // Loaded into the extruder and purged through the cutter, as after a tool change.
  void load_into_extruder(int slot) {
    park(slot);
    ASSERT_THAT(
        command("EXTRUDER_LOAD SLOT=slot" + std::to_string(slot), slot),
        ElementsAre(SuccessLine("Loaded " + feedhub::slot_label(slot) + " into the extruder")));
    command("M83");
    command("G1 E100 F300");
    command("M400");
  }
  sim::SimPrintStats& print_stats() {
    return host_.host().printer().lookup_object<sim::SimPrintStats>("print_stats");
  }
  void start_print() { print_stats().note_start("a.gcode"); }
  bool paused() { return print_stats().state() == "paused"; }
  Lines retry(int slot = 0) {
    targets_.clear();
    return command("TRY_MOVE_AGAIN", slot);
  }

  LaneHost host_;
  std::vector<double> targets_;
};

TEST_F(Retry, OnlyARecordedStepOfTheFormNameUnderscoreNumberIsRetried) {
  start();
  EXPECT_EQ(retry(), Lines{"// No step to retry"}) << "never written";
  host_.save("retry_step", "None");
  EXPECT_EQ(retry(), Lines{"// No step to retry"});
  for (const std::string bad : {"'ZKE_004_003_'", "'_3'", "'ZKE_004_003_x1'", "7"}) {
    SCOPED_TRACE(bad);
    host_.save("retry_step", bad);
    EXPECT_EQ(retry(), Lines{"// Invalid retry_step format"});
    EXPECT_TRUE(host_.variable("retry_step", 0).is_none());
  }
}

TEST_F(Retry, AStepOfTheControllerIsClearedButNothingMovesOrResumes) {
  start();
  load_into_extruder(0);
  start_print();
  host_.command("PAUSE");
  const double tip = strand(0).tip_mm;
  host_.save("retry_step", "'ZKE_004_015_00'");
  const Lines lines = retry();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("// Step ZKE_004_015 concerns no particular slot", 0), 0u) << lines[0];
  EXPECT_TRUE(host_.variable("retry_step", 0).is_none());
  EXPECT_EQ(strand(0).tip_mm, tip);
  EXPECT_TRUE(paused());
}

TEST_F(Retry, AStepOfASlotThatIsNotConfiguredFailsWithTheSlotNamed) {
  start();
  host_.save("retry_step", "'ZKE_004_003_9'");
  const Lines lines = retry();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("no slot feeder 'feedlane slot9'"), std::string::npos)
      << lines.back();
  EXPECT_TRUE(host_.variable("retry_step", 0).is_none()) << "cleared before the lookup";
}

TEST_F(Retry, TheNumberSelectsTheSlotAndASlotUnloadIsRepeated) {
  start(16);
  park(12);
  host_.save("retry_step", "'ZKE_004_003_12'");
  EXPECT_THAT(retry(12), ElementsAre(SuccessLine("Unloaded 4A to its sensor"),
                                     SuccessLine("Repeated the failed step ZKE_004_003 of 4A")));
  EXPECT_EQ(host_.variable("slot12"), Value(0)) << "withdrawn behind the slot sensor";
  EXPECT_TRUE(host_.variable("retry_step", 0).is_none());
  EXPECT_LT(strand(12).tip_mm, kGeometry.outlet_mm - kParkMm);
}

TEST_F(Retry, AHeatedLoadWhilePausedUsesThePrintsTemperatureAndResumes) {
  start();
  start_print();
  // The slot was empty: the load asked for filament and paused the print.
  command("EXTRUDER_LOAD SLOT=slot0");
  ASSERT_TRUE(paused());
  ASSERT_EQ(host_.variable("retry_step"), Value("ZKE_004_005_0"));
  park(0);
  const Lines lines = retry();
  EXPECT_FALSE(contains(lines, kResumeAborted)) << testing::PrintToString(lines);
  EXPECT_THAT(success_lines(lines),
              ElementsAre(SuccessLine("Loaded 1A into the extruder"),
                          SuccessLine("Repeated the failed step ZKE_004_005 of 1A")));
  // The resume macro of this printer keeps no etemp.
  EXPECT_EQ(targets_, std::vector<double>{250.});
  EXPECT_EQ(host_.variable("slot0"), Value(2));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot0"));
  EXPECT_FALSE(paused());
}

TEST_F(Retry, ALoadIntoAnEmptySlotIsRefusedUnheatedAndKeepsItsStepAndThePause) {
  start();
  start_print();
  command("EXTRUDER_LOAD SLOT=slot0");
  ASSERT_TRUE(paused());
  const Lines lines = retry();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("!! TRY_MOVE_AGAIN: 1A has no filament at its slot sensor", 0), 0u)
      << lines.back();
  EXPECT_EQ(targets_, std::vector<double>{}) << "nothing to heat for";
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_005_0"));
  EXPECT_TRUE(paused());
}

TEST_F(Retry, ALoadBlockedByAnotherSlotsFilamentIsRefusedBeforeTheNozzleHeats) {
  start();
  park(0);
  load_into_extruder(1);
  // Slot 1's strand fills the outlet: the load of slot 0 fails without a move.
  command("EXTRUDER_LOAD SLOT=slot0");
  ASSERT_EQ(host_.variable("retry_step"), Value("ZKE_004_006_0"));
  const double tip = strand(0).tip_mm;
  const Lines lines = retry();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("the filament of slot1 is still in the box outlet path"),
            std::string::npos)
      << lines.back();
  EXPECT_NE(lines.back().find("EXTRUDER_UNLOAD SLOT=slot1"), std::string::npos) << lines.back();
  EXPECT_EQ(targets_, std::vector<double>{}) << "the nozzle stays cold";
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_006_0")) << "kept for the next retry";
  EXPECT_EQ(strand(0).tip_mm, tip);
  EXPECT_TRUE(strand(1).gripped_by_extruder);
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot1"));

  // Once slot 1 is out of the way the same step goes through.
  command("EXTRUDER_UNLOAD SLOT=slot1", 1);
  ASSERT_EQ(host_.variable("slot1"), Value(1));
  EXPECT_THAT(success_lines(retry()),
              ElementsAre(SuccessLine("Loaded 1A into the extruder"),
                          SuccessLine("Repeated the failed step ZKE_004_006 of 1A")));
  EXPECT_EQ(targets_, (std::vector<double>{230., 0.}));
  EXPECT_EQ(host_.variable("slot0"), Value(2));
  EXPECT_TRUE(host_.hub().sensors().filament_at_extruder_entry());
  EXPECT_TRUE(host_.variable("retry_step", 0).is_none());
}

TEST_F(Retry, ARetryRefusedForAnUnknownFilamentKeepsItsStep) {
  start();
  park(0);
  host_.save("filament_slot0", "'77'");
  host_.save("retry_step", "'ZKE_004_006_0'");
  const Lines lines = retry();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("no nozzle temperature is known"), std::string::npos) << lines.back();
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_006_0"));
  EXPECT_EQ(targets_, std::vector<double>{});
  host_.save("filament_slot0", "'1'");
  retry();
  EXPECT_EQ(host_.variable("slot0"), Value(2));
}

TEST_F(Retry, AnUnloadWithNothingInTheOutletIsRepeatedWithoutHeating) {
  start();
  host_.save("retry_step", "'ZKE_004_009_0'");
  const Lines lines = retry();
  EXPECT_TRUE(contains(lines, "// Code:ZKE_004_007; Message:Extruder not loaded."))
      << testing::PrintToString(lines);
  // The repeated unload failed: neither it nor the retry succeeded.
  EXPECT_THAT(success_lines(lines), testing::IsEmpty());
  EXPECT_EQ(targets_, std::vector<double>{});
}

TEST_F(Retry, AFailedSlotLoadStepSaysItIsClearedAndHowToLoadAgain) {
  start();
  host_.save("retry_step", "'ZKE_004_001_2'");
  const Lines lines = retry(2);
  ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[0].rfind("// Cleared the failed slot load of 1C; nothing was moved.", 0), 0u)
      << lines[0];
  EXPECT_NE(lines[0].find("RELOAD_ALL"), std::string::npos) << lines[0];
  EXPECT_TRUE(host_.variable("retry_step", 0).is_none());
}

TEST_F(Retry, AHeatedLoadOutsideAPrintHeatsForTheFilamentAndSwitchesOff) {
  start();
  park(0);
  host_.save("retry_step", "'ZKE_004_005_0'");
  const Lines lines = retry();
  EXPECT_EQ(targets_, (std::vector<double>{230., 0.}));
  EXPECT_EQ(host_.variable("slot0"), Value(2));
  EXPECT_FALSE(contains(lines, kResumeAborted)) << "no resume outside a paused print";
}

TEST_F(Retry, AFailedExtruderUnloadIsRepeatedOnceTheJamIsCleared) {
  start();
  load_into_extruder(0);
  start_print();
  host_.command("SIM_FAULT SLOT=0 KIND=jam");
  command("EXTRUDER_UNLOAD SLOT=slot0");
  ASSERT_EQ(host_.variable("retry_step"), Value("ZKE_004_009_0"));
  ASSERT_TRUE(paused());
  host_.command("SIM_FAULT SLOT=0 KIND=clear");
  EXPECT_THAT(success_lines(retry()),
              ElementsAre(SuccessLine("Unloaded 1A from the extruder"),
                          SuccessLine("Repeated the failed step ZKE_004_009 of 1A")));
  EXPECT_EQ(host_.variable("slot0"), Value(1));
  EXPECT_NEAR(strand(0).tip_mm, kGeometry.outlet_mm - kParkMm, kOutletEndstopDelayMm);
  EXPECT_FALSE(paused());
}

// The extruder unload of a chained retry fails again: the slot unload does not follow, and
// the step kept is the unload's own, which a retry heats for.
TEST_F(Retry, AChainStopsAtItsFirstFailureAndKeepsThatStep) {
  start();
  load_into_extruder(0);
  command("SLOT_UNLOAD SLOT=slot0");
  ASSERT_EQ(host_.variable("retry_step"), Value("ZKE_004_004_0"));
  host_.command("SIM_FAULT SLOT=0 KIND=jam");
  const Lines lines = retry();
  const auto reports = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("Code:ZKE_004_") != std::string::npos;
  });
  EXPECT_EQ(reports, 1) << testing::PrintToString(lines);
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_009_0"));
  EXPECT_TRUE(success_lines(lines).empty());
}

TEST_F(Retry, ABlockedSlotLoadUnloadsTheLoadedSlotFirst) {
  start();
  load_into_extruder(0);
  host_.command("SIM_SPOOL SLOT=1 ACTION=insert");
  host_.host().advance(0.2);
  host_.save("retry_step", "'ZKE_004_002_1'");
  retry(1);
  EXPECT_EQ(host_.variable("slot0"), Value(1));
  EXPECT_EQ(host_.variable("slot1"), Value(1));
  EXPECT_NEAR(strand(1).tip_mm, kGeometry.outlet_mm - kParkMm, kOutletEndstopDelayMm);
}

TEST_F(Retry, ANothingToUnloadStepGoesStraightToTheResume) {
  start();
  start_print();
  host_.command("PAUSE");
  host_.save("retry_step", "'ZKE_004_007_0'");
  retry();
  EXPECT_FALSE(paused());
}

class AutoReload : public Retry {
 protected:
  void tag(int slot) {
    const std::string name = "slot" + std::to_string(slot);
    host_.save("vendor_" + name, "'Acme'");
    host_.save("color_" + name, "'FF0000'");
    host_.save("filament_" + name, "'PLA'");
  }
  // Slot 0 fed tool 0 until its spool ran out, its filament has left the box; slot 1 holds
  // the same spool, parked.
  void slot0_ran_out_with_a_twin_parked() {
    start();
    host_.save("auto_reload_detect", "1");
    tag(0);
    tag(1);
    park(1);
    host_.save("slot_sync", "'slot0'");
    host_.save("value_t0", "'slot0'");
    host_.save("slot0", "0");
  }
  // A print runs slot 0's spool out: its tail passes the extruder entry.
  void print_until_slot0_runs_dry() {
    start_print();
    command("SIM_FAULT SLOT=0 KIND=runout LENGTH=50");
    for (int i = 0; i < 4; ++i) command("G1 E150 F600");
    command("M400");
    host_.host().advance(1.0);
  }
};

TEST_F(AutoReload, DoesNothingWithoutAFeedingSlotOrWithFilamentAtTheOutlet) {
  start();
  EXPECT_EQ(command("AUTO_RELOAD_FILAMENT"), Lines{});
  load_into_extruder(0);
  EXPECT_EQ(command("AUTO_RELOAD_FILAMENT"), Lines{});
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot0"));
}

TEST_F(AutoReload, WithoutAReplacementTheFailureIsRecorded) {
  start();
  host_.save("slot_sync", "'slot0'");
  host_.save("value_t0", "'slot0'");
  const Lines lines = command("AUTO_RELOAD_FILAMENT");
  EXPECT_TRUE(contains(lines, "// Code:ZKE_004_023; Message:Auto reload failed."))
      << testing::PrintToString(lines);
  EXPECT_EQ(host_.variable("retry_step"), Value("ZKE_004_023_00"));
}

TEST_F(AutoReload, TheReplacementSlotIsLoadedAndTakesTheToolOver) {
  slot0_ran_out_with_a_twin_parked();
  const Lines lines = command("AUTO_RELOAD_FILAMENT", 1);
  EXPECT_TRUE(contains(lines, "// 250")) << testing::PrintToString(lines);
  EXPECT_EQ(host_.variable("value_t0"), Value("slot1"));
  EXPECT_EQ(host_.variable("slot1"), Value(2));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot1"));
  EXPECT_EQ(targets_.empty() ? 0. : targets_.front(), 250.);
}

// The run-out strand's tail still covers the extruder entry: it is printed out first, so
// the replacement's load reaches the entry itself instead of finding it covered.
TEST_F(AutoReload, TheRunOutTailLeavesTheEntryBeforeTheReplacementLoads) {
  start();
  host_.save("auto_reload_detect", "1");
  testing_support::write_file(host_.test().path(feedhub::kFilamentTablePath),
                              "[fila1]\nname: PLA\n");
  for (const char* slot : {"1A", "1B"})
    command(std::string("BOX_SET_SLOT SLOT=") + slot + " FILAMENT=PLA COLOR=red VENDOR=Acme");
  command("BOX_MAP_TOOL T=0 SLOT=1A");
  park(1);
  load_into_extruder(0);
  print_until_slot0_runs_dry();
  ASSERT_EQ(host_.world().world().level(sim::SensorId::extruder_entry(), host_.print_time()), 1);
  const Lines lines = command("AUTO_RELOAD_FILAMENT", 1);
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot1")) << testing::PrintToString(lines);
  EXPECT_EQ(host_.variable("value_t0"), Value("slot1"));
  EXPECT_GT(strand(1).tip_mm, kGeometry.entry_mm())
      << "the replacement's own strand reached the entry";
  EXPECT_TRUE(!strand(0).present || strand(0).tail_mm > kGeometry.entry_mm());
}

// Slots the user grouped back each other up without the saved switch and whatever their
// spools are described as; a twin of the same filament outside the group is passed over.
TEST_F(AutoReload, ARunOutSlotHandsItsToolToTheNextSlotOfItsGroup) {
  start();
  testing_support::write_file(host_.test().path(feedhub::kFilamentTablePath),
                              "[fila1]\nname: PLA\n[fila2]\nname: PETG\n");
  for (const char* slot : {"1A", "1B"})
    command(std::string("BOX_SET_SLOT SLOT=") + slot + " FILAMENT=PLA COLOR=red VENDOR=Acme");
  command("BOX_SET_SLOT SLOT=1C FILAMENT=PETG COLOR=blue VENDOR=Acme");
  EXPECT_THAT(command("BOX_SET_RUNOUT_GROUP SLOT=1A GROUP=2"),
              ElementsAre(testing::StartsWith("// 1A is alone in run-out group 2 so far")));
  EXPECT_THAT(command("BOX_SET_RUNOUT_GROUP SLOT=slot2 GROUP=2"),
              ElementsAre(testing::StartsWith("// Run-out group 2: 1A, 1C. When one")));
  EXPECT_THAT(command("BOX_SET_RUNOUT_GROUP SLOT=1B GROUP=17"),
              ElementsAre(testing::HasSubstr("GROUP")));
  command("BOX_MAP_TOOL T=0 SLOT=1A");
  park(1);
  park(2);
  load_into_extruder(0);
  print_until_slot0_runs_dry();
  EXPECT_FALSE(paused()) << "the group takes over; nothing pauses for the run-out";
  command("AUTO_RELOAD_FILAMENT", 2);
  EXPECT_EQ(host_.variable("value_t0"), Value("slot2"));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot2"));
  EXPECT_EQ(host_.variable("slot1"), Value(1)) << "the twin outside the group stays parked";
}

TEST_F(AutoReload, AnAbsolutePrintGetsItsExtrusionModeBack) {
  slot0_ran_out_with_a_twin_parked();
  host_.command("M82");
  host_.command("G92 E800");
  const Lines lines = command("AUTO_RELOAD_FILAMENT", 1);
  for (const auto& line : lines)
    EXPECT_EQ(line.find("Extrude only move too long"), std::string::npos) << line;
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot1"));
  auto& gcode_move = host_.host().printer().lookup_object<klippy::GCodeMove>("gcode_move");
  const klippy::Value status = *gcode_move.get_status(host_.now());
  EXPECT_TRUE(status.find("absolute_extrude")->truthy());
  EXPECT_NEAR(status.find("gcode_position")->as_list()[3].as_float(), 800., 1e-6);
}

TEST_F(Retry, TightenNudgesTheToolsSlotForwardAndBack) {
  start();
  park(0);
  EXPECT_EQ(command("TIGHTEN_FILAMENT"), Lines{});
  const double tip = strand(0).tip_mm;
  double furthest = tip;
  host_.save("value_t2", "'slot0'");
  auto& gcode = host_.host().printer().lookup_object<klippy::GCodeDispatch>("gcode");
  host_.run_task([&] { gcode.run_script("TIGHTEN_FILAMENT T=2"); },
                 [&] { furthest = std::max(furthest, strand(0).tip_mm); });
  for (int step = 0; step < 200; ++step) {
    host_.host().advance(0.05);
    furthest = std::max(furthest, strand(0).tip_mm);
  }
  EXPECT_NEAR(furthest - tip, 20., 0.5);
  EXPECT_NEAR(strand(0).tip_mm, tip, 1e-6);
  // T3 was never mapped: it uses 1D, as everywhere else, which is empty.
  EXPECT_EQ(command("TIGHTEN_FILAMENT T=3"),
            Lines{"// TIGHTEN_FILAMENT: T3 uses 1D, which holds no filament; nothing was moved."});
  const Lines lines = command("TIGHTEN_FILAMENT T=16");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("!! ", 0), 0u) << lines.back();
}

TEST_F(Retry, AReloadWithoutACardReaderFailsAndFreesTheBoxForTheNextLoad) {
  start();
  host_.command("SIM_SPOOL SLOT=2 ACTION=insert");
  host_.host().advance(0.2);
  ASSERT_EQ(host_.variable("slot2"), Value(3));
  const Lines lines = command("RELOAD_ALL");
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("no card reader 'feedtag card_reader_2'"), std::string::npos)
      << lines.back();
  EXPECT_TRUE(host_.hub().sensors().can_load_slot());
  host_.save("auto_read_rfid", "0");
  EXPECT_THAT(command("RELOAD_ALL", 2), ElementsAre(SuccessLine("Loaded 1C into the box")));
  EXPECT_EQ(host_.variable("slot2"), Value(1));
}

}  // namespace

namespace {

// A print job paused by a failed load, retried with TRY_MOVE_AGAIN from the console; the
// console hears that the print goes on, and at its end what the box went through.
TEST_F(Retry, APausedPrintResumesOnlyOnceTheRetriedLoadSucceeds) {
  start();
  park(0);
  park(1);
  auto& job = host_.host().printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
  auto run_job = [&] {
    host_.host().run_until([&] { return !job.is_active() || job.is_paused(); }, 1e6);
  };
  host_.command("SIM_FAULT SLOT=1 KIND=jam");
  job.start("retry.gcode", {"G28", "G90", "M83", "EXTRUDER_LOAD SLOT=slot1", "G1 E80 F300",
                            "G1 X50 Y50 E5 F3000", "M400"});
  run_job();
  ASSERT_TRUE(job.is_paused()) << testing::PrintToString(host_.output());
  const Value failed_step = host_.variable("retry_step");
  ASSERT_TRUE(failed_step.is_string());
  EXPECT_EQ(failed_step.as_string().substr(0, 8), "ZKE_004_");

  // Still jammed: the step fails again, records itself, and the print stays paused.
  retry(1);
  EXPECT_EQ(host_.variable("retry_step"), failed_step);
  EXPECT_TRUE(job.is_paused());

  EXPECT_FALSE(contains(host_.output(), "// Print resumed"));
  host_.command("SIM_FAULT SLOT=1 KIND=clear");
  host_.output().clear();
  retry(1);
  EXPECT_TRUE(host_.variable("retry_step", 0).is_none());
  EXPECT_FALSE(job.is_paused());
  EXPECT_TRUE(contains(host_.output(), "// Print resumed"))
      << testing::PrintToString(host_.output());
  run_job();
  host_.host().advance(1.0);
  EXPECT_FALSE(job.is_active());
  EXPECT_EQ(print_stats().state(), "complete");
  // The host's own line first, then the box's account of the print.
  const auto done = std::find(host_.output().begin(), host_.output().end(), "Done printing file");
  ASSERT_NE(done, host_.output().end());
  EXPECT_THAT(Lines(done + 1, host_.output().end()),
              ElementsAre("// Box during the print (complete): no tool changes, 2 errors, 2 "
                          "retries."));
  EXPECT_EQ(host_.variable("slot_sync"), Value("slot1"));
  EXPECT_TRUE(strand(1).gripped_by_extruder);
}

}  // namespace
