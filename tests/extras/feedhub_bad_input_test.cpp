// Bad input to the box commands, typed at the console or left in the saved variables by
// hand: every case is a one-line command error (never the host's internal error, which
// shuts a real printer down) and leaves the saved variables as they were.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "klippy/extras/feedhub/filament_table.h"
#include "tests/extras/feedlane_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedlane_test::LaneHost;
using Lines = std::vector<std::string>;

constexpr const char* kPrinterMacros =
    "[gcode_macro DISABLE_ALL_SENSOR]\ngcode:\n"
    "    SET_FILAMENT_SENSOR SENSOR=box_motion_sensor ENABLE=0\n"
    "[gcode_macro MOVE_TO_TRASH]\ngcode:\n    G1 X10\n";

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.start({.world = true, .extra = kPrinterMacros}, "[Variables]\nbox_count = 1\n");
    testing_support::write_file(host_.test().path(feedhub::kFilamentTablePath),
                                "[fila1]\nmin_temp: 190\nmax_temp: 230\nbox_min_temp: 40\n"
                                "box_max_temp: 50\n");
    host_.host().advance(5.0);
  }
  std::string variables() {
    return testing_support::read_file(host_.test().path(feedlane_test::kVariablesPath));
  }
  // Runs `line` and checks that it failed with exactly one error line, changing nothing
  // saved; returns that line.
  std::string refused(const std::string& line) {
    const std::string before = variables();
    const Lines lines = host_.command(line);
    host_.host().advance(1.0);
    EXPECT_EQ(variables(), before) << line;
    const auto errors = std::count_if(lines.begin(), lines.end(),
                                      [](const std::string& l) { return l.rfind("!!", 0) == 0; });
    EXPECT_EQ(errors, 1) << line << ": " << ::testing::PrintToString(lines);
    for (const auto& l : lines) EXPECT_EQ(l.find("Internal error"), std::string::npos) << line;
    auto it = std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.rfind("!!", 0) == 0; });
    return it == lines.end() ? "" : *it;
  }

  LaneHost host_;
};

TEST_F(BadInput, ParametersOutOfRangeOrNoNumbersAreRefused) {
  for (const std::string line : {"E_LOAD SLOT=4294967297",
                                 "E_LOAD SLOT=-1",
                                 "E_LOAD SLOT=abc",
                                 "E_LOAD SLOT=1.5",
                                 "E_LOAD SLOT=99999999999999999999",
                                 "E_UNLOAD SLOT=4294967296",
                                 "E_BOX SLOT=17",
                                 "ENABLE_BOX_DRY BOX=4294967297",
                                 "ENABLE_BOX_DRY BOX=-1",
                                 "ENABLE_BOX_DRY BOX=x",
                                 "DISABLE_BOX_DRY BOX=4294967297",
                                 "DISABLE_BOX_DRY BOX=0",
                                 "RELOAD_ALL FIRST=-1",
                                 "RELOAD_ALL FIRST=2.5",
                                 "EXTRUDER_LOAD SLOT=slot99",
                                 "EXTRUDER_UNLOAD SLOT=slot4",
                                 "SLOT_UNLOAD",
                                 "BOX_TEMP_SET VT0=abc",
                                 "CUT_FILAMENT T=nan",
                                 "TIGHTEN_FILAMENT T=99999999999999999999",
                                 "TOOL_CHANGE_START F=x",
                                 "TOOL_CHANGE_START F=0 T=16",
                                 "TOOL_CHANGE_START F=-2 T=1",
                                 "BOX_CHECK_TOOL T=5",
                                 "BOX_PREFLIGHT FILE=x.gcode TOLERANCE=0x10"}) {
    const std::string error = refused(line);
    EXPECT_FALSE(error.empty()) << line;
  }
}

// Said once, with the tool and its mapping, before anything moves.
TEST_F(BadInput, AToolWhoseSlotIsNotConfiguredIsNamedWithItsMapping) {
  EXPECT_EQ(refused("BOX_CHECK_TOOL T=5"),
            "!! T5 uses 2B (slot5), which is not a configured slot: map the tool to one with "
            "BOX_MAP_TOOL T=5 SLOT=<slot>");
}

TEST_F(BadInput, AHugeFirstSlotWrapsWithoutOverflow) {
  const std::string before = variables();
  const Lines lines = host_.command("RELOAD_ALL FIRST=2147483647");
  EXPECT_THAT(lines, testing::ElementsAre(testing_support::SuccessLine(
                         "Reloaded the box", "no slot was waiting to be loaded")));
  EXPECT_EQ(variables(), before);
  EXPECT_EQ(refused("RELOAD_ALL FIRST=9223372036854775808"),
            "!! Error on 'RELOAD_ALL FIRST=9223372036854775808': unable to parse "
            "9223372036854775808");
}

TEST_F(BadInput, AWrongBoxCountIsACommandErrorNamingTheValue) {
  for (const std::string literal : {"'two'", "None", "1e+300", "100", "-1", "2.0", "[1]"}) {
    host_.save("box_count", "\"" + literal + "\"");
    for (const std::string line : {"BOX_TEMP_SET VT0=200", "RELOAD_ALL", "ENABLE_BOX_DRY BOX=1",
                                   "BOX_SELF_INSPECTION", "DISABLE_BOX_HEATER", "INIT_RFID_READ"}) {
      if (line == "INIT_RFID_READ") host_.save("auto_init_detect", "1");
      EXPECT_EQ(refused(line), "!! Saved variable box_count = " + literal +
                                   " is not an integer from 0 to 4; correct it with "
                                   "SAVE_VARIABLE VARIABLE=box_count VALUE=<value> and try again")
          << line;
    }
  }
}

TEST_F(BadInput, AToolMappedToNoSlotIsACommandError) {
  for (const std::string literal : {"7", "'slot99'", "None", "'feedhub'"}) {
    host_.save("value_t0", "\"" + literal + "\"");
    for (const std::string line : {"BOX_TEMP_SET VT0=200", "TIGHTEN_FILAMENT T=0"})
      EXPECT_FALSE(refused(line).empty()) << literal << " " << line;
  }
}

TEST_F(BadInput, AHugeFilamentNumberNamesNoFilament) {
  ASSERT_TRUE(host_.park(0));
  for (const std::string literal : {"1e+300", "'x'", "-5", "[1]"}) {
    host_.save("filament_slot0", "\"" + literal + "\"");
    for (const std::string line : {"BOX_TEMP_SET VT0=200", "E_LOAD SLOT=0"}) {
      const std::string error = refused(line);
      EXPECT_NE(error.find("filament"), std::string::npos) << literal << " " << line << error;
    }
  }
}

TEST_F(BadInput, TuningValuesBeyondWhatTheBoxCanUseAreRefused) {
  // A parked strand: an empty slot has nothing to unload and reads no tuning.
  ASSERT_TRUE(host_.park(0));
  struct Case {
    std::string key, literal, expected;
  };
  for (const auto& c : std::vector<Case>{
           {"slot_unload_length_1", "10000000.0", "a length from -10000 to 10000 mm"},
           {"slot_unload_length_1", "-1e+300", "a length from -10000 to 10000 mm"},
           {"slot_unload_length_1_speed", "5000", "a positive number up to 1000 mm/s"},
           {"slot_unload_length_1_accel", "1000000000.0",
            "a positive number up to 10000 mm/s^2"}}) {
    host_.save(c.key, "\"" + c.literal + "\"");
    EXPECT_EQ(refused("SLOT_UNLOAD SLOT=slot0")
                  .rfind("!! Saved variable " + c.key + " = " + c.literal + " is not " +
                             c.expected + "; set it with SAVE_VARIABLE",
                         0),
              0u)
        << c.key << " " << c.literal;
    host_.host().advance(1.0);
    host_.command("SAVE_VARIABLE VARIABLE=" + c.key + " VALUE=" +
                  (c.key.ends_with("_speed")   ? "100"
                   : c.key.ends_with("_accel") ? "50"
                                               : "-3000"));
  }
}

}  // namespace

// A saved box_count larger than the boxes configured, or a slot named by a parameter or a
// saved tool mapping that has no feeder: every command says so in the same clear error.
TEST_F(BadInput, ASlotWithoutFeederIsOneClearCommandErrorEverywhere) {
  ASSERT_TRUE(host_.park(0));
  host_.save("box_count", "2");
  host_.save("value_t0", "'slot6'");
  for (const std::string line :
       {"BOX_SELF_INSPECTION", "BOX_TEMP_SET VT5=40", "RUN_STEPPER STEPPER=5", "E_LOAD SLOT=5",
        "E_BOX SLOT=5", "EXTRUDER_LOAD SLOT=slot0"}) {
    const Lines lines = host_.command(line);
    host_.host().advance(1.0);
    ASSERT_FALSE(lines.empty()) << line;
    EXPECT_THAT(lines.back(),
                testing::MatchesRegex("!! [A-Za-z_ 0-9]+: no slot feeder 'feedlane slot[4-7]'; "
                                      "'slot[4-7]' is not a configured slot\\. Name a configured "
                                      "slot, or check the saved variables .*"))
        << line;
    for (const auto& l : lines) EXPECT_EQ(l.find("Internal error"), std::string::npos) << line;
  }
  // A command that takes a tool names the tool and its mapping.
  EXPECT_EQ(host_.command("TIGHTEN_FILAMENT T=0").back(),
            "!! T0 uses 2C (slot6), which is not a configured slot: map the tool to one with "
            "BOX_MAP_TOOL T=0 SLOT=<slot>");
}
