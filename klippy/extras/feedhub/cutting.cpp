// Head paths at the cutter and over the wiper: CUT_FILAMENT, CLEAR_FLUSH and CLEAR_OOZE.
// Coordinates are mm and feed rates mm/min, as in the scripts' G-code.
#include <string>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/slot_feeder.h"
#include "klippy/extras/feedhub/tool_change.h"

namespace feedhub {
namespace {

constexpr const char* kFlushWipeScript =
    "M204 S10000\nG1 Y308 F10000\nG1 X80 F12000\nG1 Y314 F1500\nG1 Y316 F10000\n"
    "G1 Y314 F1500\nG1 Y316 F10000\nG1 Y314 F1500\nG1 Y316 F10000\nG1 Y314 F1500\n"
    "G1 Y324 F1200\nG1 X95 F6000\nG1 Y308 F10000\nG1 X80 F12000\nG1 Y314 F1500\n"
    "G1 Y316 F10000\nG1 Y314 F1500\nG1 Y316 F10000\nG1 Y314 F1500\nG1 Y316 F10000\n"
    "G1 Y314 F1500\nG1 Y324 F1200\nG1 X95 F12000\nG1 Y308 F10000\nG1 X80 F12000\n"
    "G1 Y314 F1500\nG1 Y316 F10000\nG1 Y314 F1500\nG1 Y316 F10000\nG1 Y314 F1500\n"
    "G1 Y316 F10000\nG1 Y314 F1500\nG1 Y324 F1200\nG1 X95 F6000";

constexpr const char* kOozeWipeScript =
    "M204 S10000\nG1 X75 F12000\nG1 X58 Y318 F12000\nG1 X75 F12000\nG1 X58 Y324 F9000\n"
    "G1 Y318 F12000\nG1 X75 Y324 F9000\nG1 X95 F12000";

// Two strokes of the cutter lever at X304.
constexpr const char* kCutScript =
    "G1 Y4.5 F5000\nG4 P500\nG1 Y8 F9000\nG1 Y4.3 F1500\nG4 P500\nG1 Y20 F9000\n";

// The head comes back into this Y band before it travels to the cutter, so that it never
// crosses the wiper or the cutter lever sideways.
constexpr double kApproachMaxY = 300.;
constexpr double kApproachMinY = 25.;

// The filament is pulled back from the cutter before the cut, so that the piece left in
// the hotend is short.
constexpr double kPullBackMm = -35.;
constexpr double kPullBackSpeedMmS = 50.;
constexpr double kPullBackAccelMmS2 = 50.;
constexpr double kPullBackPauseS = 0.5;

std::string approach_script(double head_y) {
  std::string script = "_CG28\nM204 S10000\n";
  if (head_y > kApproachMaxY)
    script += "G1 Y300 F9000\n";
  else if (head_y < kApproachMinY)
    script += "G1 Y25 F9000\n";
  return script + "M400\nG1 X304 F24000\nG1 Y20 F24000\n";
}

}  // namespace

void FeedHub::cmd_CLEAR_FLUSH(klippy::GCodeCommand& /*gcmd*/) {
  gcode_.run_script_from_command(kFlushWipeScript);
}

void FeedHub::cmd_CLEAR_OOZE(klippy::GCodeCommand& /*gcmd*/) {
  gcode_.run_script_from_command(kOozeWipeScript);
}

void FeedHub::cmd_CUT_FILAMENT(klippy::GCodeCommand& gcmd) {
  // Inside a tool-change block between tools of one slot the filament stays where it is.
  if (tool_change_->exclude_tool()) return;
  const std::string tool = std::to_string(gcmd.get_int("T", -1));
  const std::string slot = get_value_by_key("value_t" + tool, "slot" + tool).str();
  // An empty slot has nothing to cut.
  if (get_value_by_key(slot, -1) == klippy::Value(0)) return;
  gcode_.run_script_from_command(approach_script(gcode_move().last_position()[1]));
  const std::string last_load_slot = get_value_by_key("last_load_slot", kNoSlot).str();
  if (last_load_slot != kNoSlot && filament_at_extruder_entry()) {
    SlotFeeder& feeder = slot_feeder(last_load_slot, "CUT_FILAMENT");
    feeder.dwell(kPullBackPauseS);
    feeder.do_move(kPullBackMm, kPullBackSpeedMmS, kPullBackAccelMmS2);
    feeder.dwell(kPullBackPauseS);
    feeder.disable_stepper();
  }
  gcode_.run_script_from_command(kCutScript);
}

}  // namespace feedhub
