#include "klippy/extras/feedhub/box_help.h"

#include <array>
#include <set>
#include <string>
#include <vector>

#include "klippy/extras/feedhub/feedhub.h"

namespace feedhub {
namespace {

struct CommandGroup {
  const char* title;
  std::vector<const char*> commands;
};

// Commands of the example configuration's macros and of the simulator are listed when the
// printer has them; their parameters are theirs to tell (HELP).
const std::array<CommandGroup, 5>& command_groups() {
  static const std::array<CommandGroup, 5> groups{{
      {"Everyday: seeing the box, describing spools, loading, heating", {"BOX_STATUS",
                                                                         "BOX_STATS",
                                                                         "BOX_SET_SLOT",
                                                                         "BOX_MAP_TOOL",
                                                                         "BOX_SET_RUNOUT_GROUP",
                                                                         "LOAD_TOOL",
                                                                         "UNLOAD_TOOL",
                                                                         "T0",
                                                                         "EXTRUDER_LOAD",
                                                                         "EXTRUDER_UNLOAD",
                                                                         "SLOT_UNLOAD",
                                                                         "RFID_READ",
                                                                         "E_LOAD",
                                                                         "E_UNLOAD",
                                                                         "E_BOX",
                                                                         "BOX_PREFLIGHT",
                                                                         "BOX_PRINT_CHECK",
                                                                         "BOX_TEMP_SET",
                                                                         "DISABLE_BOX_HEATER",
                                                                         "ENABLE_BOX_DRY",
                                                                         "DISABLE_BOX_DRY"}},
      {"In a print's G-code (the slicer's tool-change block and the tool macros)",
       {"TOOL_CHANGE_START", "TOOL_CHANGE_END", "CUT_FILAMENT", "CLEAR_FLUSH", "CLEAR_OOZE",
        "BOX_CHECK_TOOL", "_BOX_FILAMENT_STOPPED"}},
      {"Recovery: after a failed step",
       {"BOX_ERROR_HELP", "TRY_MOVE_AGAIN", "BOX_CLEAR_ERROR", "BOX_CHECK_RESUME",
        "AUTO_RELOAD_FILAMENT", "RELOAD_ALL", "TIGHTEN_FILAMENT", "SLOT_PROMPT_MOVE",
        "BOX_SELF_INSPECTION", "BOX_RECORD_DUMP"}},
      {"Set-up and service",
       {"INIT_RFID_READ", "RUN_STEPPER", "CLEAR_RUNOUT_NUM", "MOTION_TIPS", "BOX_HELP"}},
      {"Simulator (feedbox only)", {"SIM_SPOOL", "SIM_FAULT", "SIM_STATE", "SIM_USB"}},
  }};
  return groups;
}

std::string command_line(FeedHub& hub, const std::string& name) {
  const auto& box_commands = hub.black_box().box_commands();
  if (const auto it = box_commands.find(name); it != box_commands.end())
    return name + ": " + it->second + "\n";
  if (!hub.gcode().is_registered(name)) return "";
  if (name == "T0") return "T0 to T15: put the tool's filament into the extruder (macros)\n";
  return name + " (see HELP)\n";
}

std::string help_text(FeedHub& hub) {
  std::string text;
  std::set<std::string, std::less<>> listed;
  for (const CommandGroup& group : command_groups()) {
    std::string lines;
    for (const char* name : group.commands) {
      lines += command_line(hub, name);
      listed.insert(name);
    }
    // The host strips each line, so the titles stand out by their marks, not by indents.
    if (!lines.empty()) text += "== " + std::string(group.title) + " ==\n" + lines;
  }
  // A command the groups do not know yet is still shown.
  std::string others;
  for (const auto& [name, help] : hub.black_box().box_commands())
    if (!listed.count(name)) others += name + ": " + help + "\n";
  if (!others.empty()) text += "== Other ==\n" + others;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

void register_box_help(FeedHub& hub) {
  hub.register_command(
      "BOX_HELP", [&hub](klippy::GCodeCommand& gcmd) { gcmd.respond_info(help_text(hub)); },
      "The box's commands in groups: everyday use, a print's G-code, recovery, set-up, "
      "the simulator");
}

}  // namespace feedhub
