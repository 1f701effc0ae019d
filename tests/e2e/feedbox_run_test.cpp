#include <gtest/gtest.h>

#include <sstream>

#include "apps/feedbox/run_command.h"
#include "tests/support/test_host.h"

namespace {

using feedbox::RunItem;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

struct RunResult {
  int code;
  std::string out, err;
};

RunResult run(feedbox::RunOptions options) {
  std::ostringstream out, err;
  int code = feedbox::run_simulation(options, out, err);
  return {code, out.str(), err.str()};
}

TEST(FeedboxRun, SavesAVariableAndDumpsTheFile) {
  feedbox::RunOptions options;
  options.items = {{RunItem::Kind::Command, "SAVE_VARIABLE VARIABLE=x VALUE=5"}};
  options.dump_vars = true;
  auto result = run(options);
  EXPECT_EQ(result.code, 0) << result.err;
  EXPECT_NE(result.out.find("\nx = 5\n"), std::string::npos) << result.out;
}

TEST(FeedboxRun, DumpingBeforeAnythingWasSavedSaysSo) {
  feedbox::RunOptions options;
  options.boxes = 0;
  options.settle_s = 0.;
  options.dump_vars = true;
  auto result = run(options);
  EXPECT_EQ(result.code, 0) << result.err;
  EXPECT_NE(result.out.find("(nothing saved yet in "), std::string::npos) << result.out;
}

TEST(FeedboxRun, AMalformedValueIsRefusedAndTheFileIsKept) {
  TempDir dir;
  feedbox::RunOptions options;
  options.data_dir = dir.path();
  // Done before the start-up self-inspection (3 s), which records a retry step of its own.
  options.settle_s = 1.0;
  options.items = {{RunItem::Kind::Command, "SAVE_VARIABLE VARIABLE=x VALUE=5"},
                   {RunItem::Kind::Command, "SAVE_VARIABLE VARIABLE=x VALUE=[1,"}};
  auto result = run(options);
  EXPECT_EQ(result.code, 0);
  EXPECT_NE(result.out.find("!! Unable to parse '[1,' as a literal"), std::string::npos);
  // Box detection's first poll at start has saved the box count.
  EXPECT_EQ(read_file(dir.path() + "/home/zur/printer_data/config/saved_variables.cfg"),
            "[Variables]\nbox_count = 1\nx = 5\n\n");
}

TEST(FeedboxRun, CommandsAndFilesRunInTheOrderGiven) {
  TempDir dir;
  write_file(dir.path() + "/script.gcode", "SAVE_VARIABLE VARIABLE=order VALUE=2\n");
  feedbox::RunOptions options;
  options.items = {{RunItem::Kind::Command, "SAVE_VARIABLE VARIABLE=order VALUE=1"},
                   {RunItem::Kind::File, dir.path() + "/script.gcode"}};
  options.dump_vars = true;
  EXPECT_NE(run(options).out.find("order = 2"), std::string::npos);
}

TEST(FeedboxRun, ABadConfigurationOrMissingFileExitsWithTwo) {
  TempDir dir;
  write_file(dir.path() + "/bad.cfg", "[idle_timeout]\nnot_an_option: 1\n");
  feedbox::RunOptions options;
  options.config_path = dir.path() + "/bad.cfg";
  auto result = run(options);
  EXPECT_EQ(result.code, 2);
  EXPECT_NE(result.err.find("not_an_option"), std::string::npos);
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line";

  feedbox::RunOptions missing;
  missing.items = {{RunItem::Kind::Print, dir.path() + "/nope.gcode"}};
  EXPECT_EQ(run(missing).code, 2);
}

TEST(FeedboxRun, StatusIsJsonOfEveryObject) {
  feedbox::RunOptions options;
  options.status = true;
  auto result = run(options);
  EXPECT_NE(result.out.find("\"print_stats\": {"), std::string::npos) << result.out;
}

// The host's sensors report nothing for about two seconds after it connects: the outlet
// reads "filament" and the extruder entry nothing. A load sent then (a print started by a
// macro at start-up) must wait for them instead of failing at the entry, and the box's
// status must not claim what they see.
TEST(FeedboxRun, ALoadSentAtStartUpWaitsForTheSensorsAndLoads) {
  feedbox::RunOptions options;
  options.settle_s = 0.;
  options.after_s = 60.;
  options.status = true;
  options.items = {{RunItem::Kind::Command, "BOX_STATUS"},
                   {RunItem::Kind::Command, "EXTRUDER_LOAD SLOT=0"}};
  const auto result = run(options);
  EXPECT_EQ(result.code, 0) << result.err;
  EXPECT_NE(result.out.find("| sensors: not reported yet"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("box outlet: filament"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("// Loaded 1A into the extruder"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("ZKE_"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"extruder_entry_diameter\": 1.75"), std::string::npos)
      << "the strand is not at the extruder entry";
}

TEST(FeedboxRun, APrinterWithoutABoxSaysSoAtStart) {
  TempDir dir;
  const std::string notice = "// No filament box is configured";
  write_file(dir.path() + "/empty.cfg", "");
  feedbox::RunOptions empty;
  empty.config_path = dir.path() + "/empty.cfg";
  empty.items = {{RunItem::Kind::Command, "E_LOAD SLOT=0"}};
  auto result = run(empty);
  EXPECT_EQ(result.code, 0) << result.err;
  EXPECT_NE(result.out.find(notice), std::string::npos) << result.out;

  feedbox::RunOptions no_boxes;
  no_boxes.boxes = 0;
  EXPECT_NE(run(no_boxes).out.find(notice), std::string::npos);
  feedbox::RunOptions one_box;
  EXPECT_EQ(run(one_box).out.find(notice), std::string::npos);
}

}  // namespace
