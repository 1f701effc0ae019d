// Head paths at the cutter and over the wiper: CUT_FILAMENT, CLEAR_FLUSH and CLEAR_OOZE.
// Coordinates are mm and feed rates mm/min, as in the scripts' G-code.
#include <string>

#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/head_paths.h"
#include "klippy/extras/feedhub/slot_feeder.h"
#include "klippy/extras/feedhub/tool_change.h"

namespace feedhub {
namespace {

// The filament is pulled back from the cutter before the cut, so that the piece left in
// the hotend is short.
constexpr double kPullBackMm = -35.;
constexpr double kPullBackSpeedMmS = 50.;
constexpr double kPullBackAccelMmS2 = 50.;
constexpr double kPullBackPauseS = 0.5;

std::string approach_script(double head_y) {
  std::string script = std::string(kHomeIfNeeded) + "M204 S10000\n";
  if (head_y > kCutterApproachMaxY)
    script += "G1 Y" + std::to_string(static_cast<int>(kCutterApproachMaxY)) + " F9000\n";
  else if (head_y < kCutterApproachMinY)
    script += "G1 Y" + std::to_string(static_cast<int>(kCutterApproachMinY)) + " F9000\n";
  return script + "M400\n" + kCutterApproachScript;
}

}  // namespace

void FeedHub::register_cutting_commands() {
  register_command(
      "CUT_FILAMENT", [this](klippy::GCodeCommand& gcmd) { cmd_CUT_FILAMENT(gcmd); },
      "Take the head to the cutter (X304 Y20) and cut the filament; nothing when the tool's "
      "slot is empty: CUT_FILAMENT [T=<tool, default -1: any>]");
  register_command(
      "CLEAR_FLUSH", [this](klippy::GCodeCommand& gcmd) { cmd_CLEAR_FLUSH(gcmd); },
      "Wipe purged filament off the nozzle at the wiper (Y308 to Y324)");
  register_command(
      "CLEAR_OOZE", [this](klippy::GCodeCommand& gcmd) { cmd_CLEAR_OOZE(gcmd); },
      "Wipe ooze off the nozzle at the wiper (Y318 to Y324)");
}

void FeedHub::cmd_CLEAR_FLUSH(klippy::GCodeCommand& /*gcmd*/) {
  gcode_.run_script_from_command(std::string(kHomeIfNeeded) + kFlushWipeScript);
}

void FeedHub::cmd_CLEAR_OOZE(klippy::GCodeCommand& /*gcmd*/) {
  gcode_.run_script_from_command(std::string(kHomeIfNeeded) + kOozeWipeScript);
}

void FeedHub::cmd_CUT_FILAMENT(klippy::GCodeCommand& gcmd) {
  // Inside a tool-change block between tools of one slot the filament stays where it is.
  if (tool_change_->exclude_tool()) return;
  const std::optional<int> slot = slot_of_name(slot_of_tool(*this, gcmd.get_int("T", -1)));
  // An empty slot has nothing to cut.
  if (slot && box_state_.slot_is(*slot, SlotState::Empty)) return;
  const ActivityScope activity(*this, Operation::Cut);
  gcode_.run_script_from_command(approach_script(gcode_move().last_position()[1]));
  const std::string last_load_slot = box_state_.loaded_slot_name();
  if (last_load_slot != kNoSlot && sensors_.filament_at_extruder_entry()) {
    SlotFeeder& feeder = slot_feeder(printer_, last_load_slot, "CUT_FILAMENT");
    feeder.dwell(kPullBackPauseS);
    feeder.do_move(kPullBackMm, kPullBackSpeedMmS, kPullBackAccelMmS2);
    feeder.dwell(kPullBackPauseS);
    feeder.disable_stepper();
  }
  gcode_.run_script_from_command(kCutScript);
}

}  // namespace feedhub
