// Every command of the box modules tells HELP what it does and which parameters it takes,
// per-slot commands included.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "klippy/extras/feedhub/feedhub.h"
#include "tests/extras/feedhub_session_fixture.h"

namespace {

using box_session::BoxSession;

std::map<std::string, std::string> registered(BoxSession& session) {
  return session.host().gcode().command_help();
}

// The commands a printer with boxes has and one without has not.
std::map<std::string, std::string> box_commands() {
  BoxSession with_boxes(2);
  BoxSession without_boxes(0);
  std::map<std::string, std::string> commands = registered(with_boxes);
  for (const auto& [name, help] : registered(without_boxes)) commands.erase(name);
  return commands;
}

std::vector<std::string> help_lines(BoxSession& session) {
  std::vector<std::string> lines;
  for (const std::string& line : session.command("HELP")) lines.push_back(line);
  return lines;
}

TEST(CommandHelp, EveryBoxCommandHasAHelpTextThatHelpLists) {
  const auto commands = box_commands();
  // The modules' own commands and the per-slot ones are all among them.
  for (const char* name : {"BOX_STATUS", "TOOL_CHANGE_START", "E_LOAD", "ENABLE_BOX_DRY",
                           "EXTRUDER_LOAD", "SLOT_UNLOAD", "RFID_READ", "SLOT_PROMPT_MOVE"})
    EXPECT_TRUE(commands.count(name)) << name;

  BoxSession session(1);
  const std::vector<std::string> help = help_lines(session);
  for (const auto& [name, text] : commands) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(text.empty()) << name << " has no help text";
    std::string padded = name;
    if (padded.size() < 10) padded.resize(10, ' ');
    EXPECT_TRUE(box_session::mentions(help, "// " + padded + ": " + text))
        << testing::PrintToString(help);
  }
}

TEST(CommandHelp, HelpTextsNameTheParametersTheCommandsTake) {
  // A command that takes parameters shows them as it is typed.
  const auto commands = box_commands();
  for (const auto& [name, params] : std::map<std::string, std::vector<std::string>>{
           {"EXTRUDER_LOAD", {"SLOT="}},
           {"EXTRUDER_UNLOAD", {"SLOT="}},
           {"SLOT_UNLOAD", {"SLOT="}},
           {"RFID_READ", {"SLOT="}},
           {"SLOT_PROMPT_MOVE", {"SLOT="}},
           {"E_LOAD", {"SLOT="}},
           {"E_UNLOAD", {"SLOT="}},
           {"E_BOX", {"SLOT="}},
           {"CUT_FILAMENT", {"T=", "default -1"}},
           {"RUN_STEPPER", {"STEPPER=", "default 0"}},
           {"RELOAD_ALL", {"FIRST=", "default 0"}},
           {"TIGHTEN_FILAMENT", {"T="}},
           {"TOOL_CHANGE_START", {"F=", "T="}},
           {"BOX_TEMP_SET", {"VT", "default -1"}},
           {"ENABLE_BOX_DRY", {"BOX=", "TEMP=", "END_TIME=", "default 8"}},
           {"DISABLE_BOX_DRY", {"BOX=", "default 1"}},
           {"BOX_MAP_TOOL", {"T=", "SLOT="}},
           {"BOX_SET_SLOT", {"SLOT=", "FILAMENT=", "COLOR=", "VENDOR="}},
           {"BOX_PREFLIGHT", {"FILE=", "TOLERANCE=", "default 80", "ON_FAIL="}},
           {"BOX_RECORD_DUMP", {"REASON="}},
           {"BOX_STATS", {"RESET="}},
       }) {
    ASSERT_TRUE(commands.count(name)) << name;
    for (const std::string& param : params)
      EXPECT_NE(commands.at(name).find(param), std::string::npos)
          << name << ": " << commands.at(name) << " should mention " << param;
  }
}

// BOX_HELP puts every box command, with its HELP line, in one of its groups, everyday use
// first; the example macros and the simulator's commands join the groups they belong to.
TEST(CommandHelp, BoxHelpGroupsEveryBoxCommand) {
  BoxSession session(1);
  const auto& commands = session.host()
                             .printer()
                             .lookup_object<feedhub::FeedHub>("feedhub")
                             .black_box()
                             .box_commands();
  ASSERT_TRUE(commands.count("EXTRUDER_LOAD")) << "the per-slot commands are among them";
  const std::vector<std::string> lines = session.command("BOX_HELP");
  std::vector<std::string> groups;
  for (const std::string& line : lines)
    if (line.rfind("// == ", 0) == 0) groups.push_back(line);
  EXPECT_EQ(groups, (std::vector<std::string>{
                        "// == Everyday: seeing the box, describing spools, loading, heating ==",
                        "// == In a print's G-code (the slicer's tool-change block and the "
                        "tool macros) ==",
                        "// == Recovery: after a failed step ==", "// == Set-up and service ==",
                        "// == Simulator (feedbox only) =="}))
      << "no box command is left over under Other";
  for (const auto& [name, text] : commands)
    EXPECT_TRUE(box_session::mentions(lines, "// " + name + ": " + text)) << name;
  for (const char* other : {"// LOAD_TOOL (see HELP)", "// T0 to T15: ", "// SIM_FAULT"})
    EXPECT_TRUE(box_session::mentions(lines, other)) << other;
}

}  // namespace
