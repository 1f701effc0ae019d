// The tool map and spool data by name on the embedded printer: BOX_MAP_TOOL and BOX_SET_SLOT
// save what the tool changes, the heating and the tag reads use, the example configuration's
// LOAD_TOOL, UNLOAD_TOOL and T0-T15 load the slot that serves a tool also on a fresh box,
// and bad input changes nothing.
#include <gtest/gtest.h>

#include "sim/host/print_job.h"
#include "sim/host/print_stats.h"
#include "sim/host/world_module.h"
#include "tests/extras/feedhub_session_fixture.h"

namespace {

using box_session::BoxSession;
using box_session::kGeometry;
using box_session::mentions;
using klippy::Value;
using Lines = std::vector<std::string>;

class SlotData : public ::testing::Test {
 protected:
  std::string variables_file() {
    return testing_support::read_file(
        box_.host().printer().resolve_path("/home/zur/printer_data/config/saved_variables.cfg"));
  }
  double box_heater_target() {
    return box_.status("feedhub").find("boxes")->as_list().at(0).find("target")->as_float();
  }
  // Each line is refused with an error naming what was wrong, and nothing is saved.
  void expect_refused(const std::vector<std::pair<std::string, std::string>>& cases) {
    const std::string before = variables_file();
    for (const auto& [line, error] : cases) {
      const Lines answer = box_.command(line);
      ASSERT_FALSE(answer.empty()) << line;
      EXPECT_EQ(answer.back().rfind(error, 0), 0u) << line << ": " << answer.back();
    }
    EXPECT_EQ(variables_file(), before);
  }

  BoxSession box_;
};

TEST_F(SlotData, AFreshBoxLoadsToolNFromSlotN) {
  EXPECT_FALSE(mentions(box_.command("LOAD_TOOL T=1"), "!!"));
  EXPECT_GT(box_.tip_mm(1), kGeometry.entry_mm());
  EXPECT_EQ(box_.variable("slot1"), Value(2));
  EXPECT_TRUE(box_.variable("value_t1").is_none()) << "nothing mapped by the load";
  EXPECT_FALSE(mentions(box_.command("UNLOAD_TOOL T=1"), "!!"));
  EXPECT_LT(box_.tip_mm(1), kGeometry.outlet_mm);
  EXPECT_EQ(box_.variable("slot1"), Value(1));
}

TEST_F(SlotData, ToolMacrosSwitchTheExtruderToTheToolsSlotOnlyWhenNeeded) {
  box_.command("T1");
  EXPECT_GT(box_.tip_mm(1), kGeometry.entry_mm());
  const double loaded_tip = box_.tip_mm(1);
  // The slot is loaded already: nothing moves.
  EXPECT_EQ(box_.command("T1"), Lines{});
  EXPECT_EQ(box_.tip_mm(1), loaded_tip);
  box_.command("BOX_MAP_TOOL T=5 SLOT=1D");
  EXPECT_FALSE(mentions(box_.command("T5"), "!!"));
  EXPECT_LT(box_.tip_mm(1), kGeometry.outlet_mm);
  EXPECT_GT(box_.tip_mm(3), kGeometry.entry_mm());
  EXPECT_EQ(box_.variable("last_load_slot"), Value("slot3"));
}

TEST_F(SlotData, AToolMacroRepeatsAFailedLoadOfItsSlot) {
  // As a load that failed in the tube leaves it.
  box_.command("SAVE_VARIABLE VARIABLE=last_load_slot VALUE=\"'slot1'\"");
  box_.command("SAVE_VARIABLE VARIABLE=slot1 VALUE=-2");
  EXPECT_FALSE(mentions(box_.command("T1"), "!!"));
  EXPECT_GT(box_.tip_mm(1), kGeometry.entry_mm());
  EXPECT_EQ(box_.variable("slot1"), Value(2));
}

TEST_F(SlotData, ToolMacrosInAPrintCutBeforeTheUnload) {
  auto& job = box_.host().printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
  // Ends before the next purge would push the cut piece out of the nozzle.
  job.start("tools.gcode",
            {"G28", "G90", "M83", "M109 S210", "T0", "G1 E80 F300", "G1 X50 Y50 E5 F3000", "T2"});
  box_.host().run_until([&] { return !job.is_active() || job.is_paused(); }, 1e6);
  EXPECT_EQ(box_.host().printer().lookup_object<sim::SimPrintStats>("print_stats").state(),
            "complete");
  const auto& world =
      box_.host().printer().lookup_object<sim::SimFilamentWorld>("filament_world").world();
  EXPECT_EQ(world.loose_pieces().size(), 1u) << "slot 0's filament was cut in the hotend";
  EXPECT_LT(box_.tip_mm(0), kGeometry.outlet_mm);
  EXPECT_GT(box_.tip_mm(2), kGeometry.entry_mm());
}

TEST_F(SlotData, MapToolTakesAnyNameOfASlotAndTheLoadsFollowIt) {
  const Lines answer = box_.command("BOX_MAP_TOOL T=0 SLOT=1d");
  EXPECT_EQ(answer, Lines{"// T0 now uses slot 1D (slot3) (was 1A)"});
  EXPECT_EQ(box_.variable("value_t0"), Value("slot3"));
  for (const std::string name : {"slot2", "2", "1C"}) {
    box_.command("BOX_MAP_TOOL T=7 SLOT=" + name);
    EXPECT_EQ(box_.variable("value_t7"), Value("slot2")) << name;
  }
  box_.command("LOAD_TOOL T=0");
  EXPECT_GT(box_.tip_mm(3), kGeometry.entry_mm());
  EXPECT_LT(box_.tip_mm(0), kGeometry.outlet_mm);
  EXPECT_EQ(box_.status("feedhub").find("tool_map")->as_list().at(0), Value(3));
}

TEST_F(SlotData, BadToolMapsAreRefusedAndChangeNothing) {
  expect_refused({
      {"BOX_MAP_TOOL T=16 SLOT=1A",
       "!! Error on 'BOX_MAP_TOOL T=16 SLOT=1A': T must have maximum of 15"},
      {"BOX_MAP_TOOL T=-1 SLOT=1A",
       "!! Error on 'BOX_MAP_TOOL T=-1 SLOT=1A': T must have minimum of 0"},
      {"BOX_MAP_TOOL T=1", "!! Error on 'BOX_MAP_TOOL T=1': missing SLOT"},
      {"BOX_MAP_TOOL T=1 SLOT=5A",
       "!! BOX_MAP_TOOL: SLOT=5A names no slot; give its label (1A to 4D), its name (slot0 to "
       "slot15) or its number (0 to 15). Configured: 1A, 1B, 1C, 1D"},
      {"BOX_MAP_TOOL T=1 SLOT=slot16", "!! BOX_MAP_TOOL: SLOT=slot16 names no slot"},
      {"BOX_MAP_TOOL T=1 SLOT=2A",
       "!! BOX_MAP_TOOL: slot 2A (slot4) has no [feedlane slot4] section in the printer "
       "configuration. Configured: 1A, 1B, 1C, 1D"},
  });
}

TEST_F(SlotData, SetSlotSavesTheCodesATagReadSaves) {
  // The simulated spool of slot 1 is green PLA; its tag is read, slot 2 described by hand.
  box_.command("RFID_READ SLOT=slot1");
  const Lines answer = box_.command("BOX_SET_SLOT SLOT=1C FILAMENT=pla COLOR=GREEN");
  EXPECT_EQ(answer, Lines{"// Slot 1C (slot2) holds PLA (filament 1), green (colour 4), vendor 1"});
  for (const std::string part : {"filament_", "color_", "vendor_"}) {
    EXPECT_EQ(box_.variable(part + "slot2"), box_.variable(part + "slot1")) << part;
    EXPECT_TRUE(box_.variable(part + "slot2").is_int()) << part;
  }
  box_.command("BOX_SET_SLOT SLOT=3 FILAMENT=2 COLOR=17 VENDOR=Acme");
  EXPECT_EQ(box_.variable("filament_slot3"), Value(2));
  EXPECT_EQ(box_.variable("color_slot3"), Value(17));
  EXPECT_EQ(box_.variable("vendor_slot3"), Value("Acme"));
  box_.command("BOX_SET_SLOT SLOT=3 FILAMENT=PETG-cf COLOR=\"light blue\" VENDOR=7");
  EXPECT_EQ(box_.variable("filament_slot3"), Value(9));
  EXPECT_EQ(box_.variable("vendor_slot3"), Value(7));
}

// Named by hand, the spools carry codes the heating finds in the filament table: the box
// warms to the lowest limit of its filaments (PLA 55, PETG 65), never above the tool's.
TEST_F(SlotData, DescribedSpoolsSetTheBoxTemperature) {
  for (const std::string slot : {"1A", "1B", "1C", "1D"})
    box_.command("BOX_SET_SLOT SLOT=" + slot + " FILAMENT=PETG COLOR=white");
  EXPECT_EQ(box_.command("BOX_TEMP_SET VT0=60"), Lines{});
  EXPECT_EQ(box_heater_target(), 60.0);
  box_.command("BOX_SET_SLOT SLOT=1B FILAMENT=PLA COLOR=white");
  EXPECT_EQ(box_.command("BOX_TEMP_SET VT0=60"),
            Lines{"// Box 1 heats to 55 C, not 60 C: the filament table's box_max_temp allows no "
                  "more for 1B (PLA)"});
  EXPECT_EQ(box_heater_target(), 55.0);
}

// A spool nobody described counts as filament 1, whose limit then caps the box: the answer
// says so, and how to describe it.
TEST_F(SlotData, TheBoxSaysWhyItHeatsBelowWhatAToolWants) {
  EXPECT_EQ(box_.command("BOX_TEMP_SET VT0=60"),
            Lines{"// Box 1 heats to 55 C, not 60 C: the filament table's box_max_temp allows no "
                  "more for 1A, 1B, 1C, 1D, which carry no description and count as PLA "
                  "(describe them with BOX_SET_SLOT or read their tags with RFID_READ)"});
  EXPECT_EQ(box_heater_target(), 55.0);
  for (const std::string slot : {"1A", "1B", "1C"})
    box_.command("BOX_SET_SLOT SLOT=" + slot + " FILAMENT=PETG COLOR=white");
  EXPECT_EQ(box_.command("BOX_TEMP_SET VT0=60"),
            Lines{"// Box 1 heats to 55 C, not 60 C: the filament table's box_max_temp allows no "
                  "more for 1D, which carries no description and counts as PLA (describe it "
                  "with BOX_SET_SLOT or read its tag with RFID_READ)"});
  EXPECT_EQ(box_.command("BOX_TEMP_SET VT0=50"), Lines{}) << "nothing capped, nothing to say";
}

// As users describe spools: a colour in hex is kept as given beside the nearest box colour
// that the codes carry, and a material the table lacks is taken with a warning of the
// temperatures it gets: those of the table's kin of it, else those of an undescribed spool.
TEST_F(SlotData, SetSlotKeepsHexColoursAndMaterialsOutsideTheTable) {
  const Lines answer = box_.command("BOX_SET_SLOT SLOT=1A FILAMENT=PLA+ COLOR=00ff00");
  ASSERT_EQ(answer.size(), 2u) << testing::PrintToString(answer);
  EXPECT_EQ(answer[0].rfind("!BOX_SET_SLOT: PLA+ is not in the filament table ", 0), 0u)
      << answer[0];
  EXPECT_TRUE(mentions(answer,
                       "; slot 1A heats it as PLA, filament 1: nozzle 190-230 C, box "
                       "45-55 C. For temperatures of its own, add a [fila<code>] section "
                       "with name: PLA+ to the table"));
  EXPECT_EQ(answer[1],
            "// Slot 1A (slot0) holds PLA+ (as PLA, filament 1), #00FF00 (nearest box "
            "colour green, colour 4), vendor 1");
  EXPECT_EQ(box_.variable("filament_slot0"), Value(1));
  EXPECT_EQ(box_.variable("color_slot0"), Value(4));
  EXPECT_EQ(box_.variable("hexcolor_slot0"), Value("#00FF00"));
  EXPECT_EQ(box_.variable("material_slot0"), Value("PLA+"));
  EXPECT_TRUE(mentions(box_.command("BOX_STATUS"),
                       "// 1A   yes    inserted, not loaded  PLA+      green #00FF00 1       T0"));
  const Value slot = *box_.status("feedlane slot0").find("filament_name");
  EXPECT_EQ(slot, Value("PLA+"));
  EXPECT_EQ(*box_.status("feedlane slot0").find("hexcolor"), Value("#00FF00"));
  box_.command("BOX_TEMP_SET VT0=60");
  EXPECT_EQ(box_heater_target(), 55.0) << "PLA+ heats as PLA";

  // A later description replaces the words of the earlier one.
  box_.command("BOX_SET_SLOT SLOT=1A FILAMENT=petg-hf COLOR=ff8000");
  EXPECT_EQ(box_.variable("filament_slot0"), Value(2));
  EXPECT_EQ(box_.variable("hexcolor_slot0"), Value("#FF8000"));
  EXPECT_EQ(box_.command("BOX_SET_SLOT SLOT=1A FILAMENT=PETG COLOR=red"),
            Lines{"// Slot 1A (slot0) holds PETG (filament 2), red (colour 3), vendor 1"});
  EXPECT_TRUE(box_.variable("hexcolor_slot0").is_none());
  EXPECT_TRUE(box_.variable("material_slot0").is_none());
  EXPECT_TRUE(mentions(box_.command("BOX_SET_SLOT SLOT=1A FILAMENT=NYLON COLOR=red"),
                       "slot 1A heats it as PLA, filament 1: nozzle 190-230 C"));
  // So does a tag read.
  box_.command("BOX_SET_SLOT SLOT=1B FILAMENT=PLA+ COLOR=00ff00");
  box_.command("RFID_READ SLOT=slot1");
  EXPECT_TRUE(box_.variable("hexcolor_slot1").is_none());
  EXPECT_TRUE(box_.variable("material_slot1").is_none());
}

TEST_F(SlotData, BadSpoolDataIsRefusedAndChangesNothing) {
  box_.command("BOX_SET_SLOT SLOT=1A FILAMENT=PLA COLOR=red");
  expect_refused({
      {"BOX_SET_SLOT SLOT=1A FILAMENT=0 COLOR=red", "!! BOX_SET_SLOT: FILAMENT=0 is not in"},
      {"BOX_SET_SLOT SLOT=1A FILAMENT=PLA COLOR=chartreuse",
       "!! BOX_SET_SLOT: COLOR=chartreuse is no colour of the box; give a code 1 to 24, a "
       "name (white, black, red,"},
      {"BOX_SET_SLOT SLOT=1A FILAMENT=PLA COLOR=00FF0", "!! BOX_SET_SLOT: COLOR=00FF0 is no"},
      // As in the host, '#' ends the parameters.
      {"BOX_SET_SLOT SLOT=1A FILAMENT=PLA COLOR=#00FF00",
       "!! BOX_SET_SLOT: COLOR is empty; give a colour name or code, or the hex colour without "
       "its '#' (COLOR=00FF00)"},
      {"BOX_SET_SLOT SLOT=1A FILAMENT= COLOR=red", "!! BOX_SET_SLOT: FILAMENT is empty"},
      {"BOX_SET_SLOT SLOT=1A FILAMENT=PLA COLOR=25", "!! BOX_SET_SLOT: COLOR=25 is no colour"},
      {"BOX_SET_SLOT SLOT=1A FILAMENT=PLA COLOR=red VENDOR=", "!! BOX_SET_SLOT: VENDOR is empty"},
      {"BOX_SET_SLOT SLOT=1A FILAMENT=PLA",
       "!! Error on 'BOX_SET_SLOT SLOT=1A FILAMENT=PLA': missing COLOR"},
      {"BOX_SET_SLOT SLOT=9 FILAMENT=PLA COLOR=red",
       "!! BOX_SET_SLOT: slot 3B (slot9) has no [feedlane slot9] section"},
  });
  const Lines refused = box_.command("BOX_SET_SLOT SLOT=1A FILAMENT=42 COLOR=red");
  EXPECT_TRUE(mentions(refused, "give a code or name of it: 1 PLA, 2 PETG, 3 ABS"))
      << testing::PrintToString(refused);
}

}  // namespace
