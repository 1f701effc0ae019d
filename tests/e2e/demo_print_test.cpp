// The embedded demo print from start to end on the default printer with two boxes: every
// tool change of the slicer's blocks, and the spare red spool taking tool 0 over after
// the first one ran out.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "apps/feedbox/embedded_files.h"
#include "apps/feedbox/replay_command.h"
#include "apps/feedbox/run_command.h"
#include "tests/support/test_host.h"

namespace {

using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

TEST(DemoPrint, FourColoursElevenToolChangesAndOneRunoutRecovered) {
  TempDir dir;
  const std::string print = dir.path() + "/demo.gcode";
  const std::string report = dir.path() + "/report.json";
  const std::string setup = dir.path() + "/demo_setup.gcode";
  write_file(print, feedbox::embedded_file("demo.gcode"));
  write_file(setup, feedbox::embedded_file("demo_setup.gcode"));
  feedbox::RunOptions options;
  options.boxes = 2;
  options.data_dir = dir.path() + "/data";
  options.report_json_path = report;
  options.dump_vars = true;
  // The start-up self-inspection pushes and pulls the eight loaded slots before the print.
  options.settle_s = 100.0;
  options.items.push_back({feedbox::RunItem::Kind::File, setup});
  options.items.push_back({feedbox::RunItem::Kind::Print, print});
  options.items.push_back({feedbox::RunItem::Kind::Command, "BOX_RECORD_DUMP REASON=demo"});
  std::ostringstream out, err;
  ASSERT_EQ(feedbox::run_simulation(options, out, err), 0) << err.str();

  const auto json = nlohmann::json::parse(read_file(report));
  EXPECT_EQ(json["outcome"], "complete") << json.dump(2);
  EXPECT_EQ(json["tool_changes"]["count"], 11) << json.dump(2);
  EXPECT_TRUE(json["error_codes"].empty()) << json.dump(2);
  // The set-up described every spool the print uses before it started.
  EXPECT_EQ(json["preflight"]["summary"], "Pre-flight: OK: T0, T1, T2, T3 ready as planned")
      << json.dump(2);

  const std::string vars = out.str();
  // The red spool of slot 0 ran out on the second layer; box 2's red spool now serves
  // tool 0 and is parked again, and the white one of the last tool is in the extruder.
  EXPECT_NE(vars.find("value_t0 = 'slot4'"), std::string::npos) << vars;
  EXPECT_NE(vars.find("runout_0 = 1"), std::string::npos) << vars;
  EXPECT_NE(vars.find("slot0 = 0"), std::string::npos) << vars;
  EXPECT_NE(vars.find("slot4 = 1"), std::string::npos) << vars;
  EXPECT_NE(vars.find("slot3 = 2"), std::string::npos) << vars;
  EXPECT_NE(vars.find("slot_sync = 'slot3'"), std::string::npos) << vars;
  EXPECT_NE(vars.find("is_tool_change = 0"), std::string::npos) << vars;

  // A healthy run's own record agrees with the model, command by command: the runout, the
  // handover and the hall sensor's twice-a-second reports are no hardware fault.
  feedbox::ReplayOptions replay;
  replay.dump_path = options.data_dir + "/home/zur/printer_data/logs/box_record_000001.jsonl";
  std::ostringstream replay_out, replay_err;
  EXPECT_EQ(feedbox::run_replay(replay, replay_out, replay_err), 0)
      << replay_out.str() << replay_err.str();
  EXPECT_NE(replay_out.str().find("No differences"), std::string::npos) << replay_out.str();
}

}  // namespace
