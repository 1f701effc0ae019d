#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "apps/feedbox/console_output.h"
#include "apps/feedbox/embedded_files.h"
#include "apps/feedbox/print_recorder.h"
#include "apps/feedbox/run_command.h"
#include "sim/host/print_job.h"
#include "tests/support/test_host.h"

namespace {

using feedbox::PrintOutcome;
using feedbox::RunItem;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

// The default printer without boxes, with tool-change blocks that take a known time: the
// start waits 2 s, the end 1 s and then for the head to stop.
std::string printer_with_timed_tool_changes() {
  return feedbox::embedded_printer_config() +
         "\n[gcode_macro TOOL_CHANGE_START]\ngcode:\n    G4 P2000\n"
         "\n[gcode_macro TOOL_CHANGE_END]\ngcode:\n    G4 P1000\n    M400\n";
}

constexpr const char* kTwoToolChanges =
    "G28\n"
    "G1 X10 Y10 F6000\n"
    "M400\n"
    "TOOL_CHANGE_START F=0 T=1\n"  // line 4
    "G4 P3000\n"
    "TOOL_CHANGE_END\n"  // line 6: 2 + 3 + 1 s
    "G1 X50 F6000\n"
    "M400\n"
    "tool_change_start F=1 T=0 ; case and comments as the host reads them\n"  // line 9
    "TOOL_CHANGE_END\n"                                                       // line 10: 2 + 1 s
    "SET_HEATER_TEMPERATURE HEATER=heater_box1 TARGET=40\n"
    "SET_HEATER_TEMPERATURE HEATER=heater_box1 TARGET=50\n"
    "SET_HEATER_TEMPERATURE HEATER=heater_box1 TARGET=40\n"
    "G1 X20 F6000\n";

struct RunResult {
  int code;
  std::string out, err;
};

RunResult run(const feedbox::RunOptions& options) {
  std::ostringstream out, err;
  int code = feedbox::run_simulation(options, out, err);
  return {code, out.str(), err.str()};
}

// A host whose console feeds the recorder, like `feedbox run` does.
class RecordedHost {
 public:
  explicit RecordedHost(const std::string& config) {
    sim::HostOptions options;
    options.data_dir = dir_.path();
    options.output = [this](const std::string& text) {
      if (recorder_) recorder_->note_output(text);
    };
    host_ = std::make_unique<sim::SimHost>(std::move(options));
    host_->start(sim::ConfigText::from_text(config, "test.cfg", dir_.path()));
    host_->advance(1.0);
  }
  sim::SimHost& host() { return *host_; }

  feedbox::PrintReport print(const std::string& gcode) {
    write_file(dir_.path() + "/job.gcode", gcode);
    auto& job = host_->printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
    recorder_ = std::make_unique<feedbox::PrintRecorder>(*host_, "job.gcode");
    job.start("job.gcode", sim::read_gcode_file(dir_.path() + "/job.gcode"));
    host_->run_until([&] { return !job.is_active() || job.is_paused(); }, 1e6);
    return recorder_->finish();
  }

 private:
  TempDir dir_;
  std::unique_ptr<sim::SimHost> host_;
  std::unique_ptr<feedbox::PrintRecorder> recorder_;
};

TEST(PrintReport, ToolChangesAreCountedAndTimedFromStartToEnd) {
  RecordedHost printer(printer_with_timed_tool_changes());
  auto report = printer.print(kTwoToolChanges);

  EXPECT_EQ(report.outcome, PrintOutcome::Complete);
  ASSERT_EQ(report.tool_changes.size(), 2u);
  EXPECT_EQ(report.tool_changes[0].start_line, 4u);
  EXPECT_EQ(report.tool_changes[0].end_line, 6u);
  EXPECT_NEAR(report.tool_changes[0].duration_s, 6.0, 0.5);
  EXPECT_EQ(report.tool_changes[1].start_line, 9u);
  EXPECT_NEAR(report.tool_changes[1].duration_s, 3.0, 0.5);
  EXPECT_NEAR(report.tool_change_total_s(), 9.0, 1.0);
  EXPECT_GT(report.printed_s, report.tool_change_total_s());

  using Targets = std::vector<std::pair<std::string, std::vector<double>>>;
  EXPECT_EQ(report.heater_targets, (Targets{{"heater_box1", {40., 50.}}}));
}

TEST(PrintReport, ErrorCodesOfThePrintOnlyInTheOrderRaised) {
  RecordedHost printer(feedbox::embedded_printer_config());
  printer.host().gcode().register_command(
      "SAY", [](klippy::GCodeCommand& gcmd) { gcmd.respond_raw(gcmd.get("TEXT")); }, "");
  printer.host().run_command("SAY TEXT='!! Code:ZKE_004_001, Message:before the print'");

  auto report = printer.print(
      "SAY TEXT='!! Code:ZKE_004_005, Message:first'\n"
      "SAY TEXT='Code:ZKE_004_0x, Code:ZKE_004_013, Message:second'\n"
      "SAY TEXT='! Code:ZKE_004_003, Message:third'\n"
      "SAY TEXT='// Code:ZKE_004_005, Message:again'\n");

  EXPECT_EQ(report.error_codes,
            (std::vector<std::string>{"ZKE_004_005", "ZKE_004_013", "ZKE_004_003", "ZKE_004_005"}));
}

TEST(PrintReport, APauseOrCancelEndsTheReportAtItsLine) {
  RecordedHost printer(printer_with_timed_tool_changes());
  auto paused = printer.print("G28\nTOOL_CHANGE_START F=0 T=1\nPAUSE\nTOOL_CHANGE_END\n");
  EXPECT_EQ(paused.outcome, PrintOutcome::Paused);
  EXPECT_EQ(paused.stop_line, 3u);
  ASSERT_EQ(paused.tool_changes.size(), 1u);
  EXPECT_EQ(paused.tool_changes[0].end_line, 0u) << "still open at the pause";
  EXPECT_NE(feedbox::format_print_report(paused).find("paused at line 3 of 4"), std::string::npos);

  printer.host().run_command("CANCEL_PRINT");
  printer.host().advance(1.0);
  auto cancelled = printer.print("G28\nCANCEL_PRINT\nG1 X50 F6000\n");
  EXPECT_EQ(cancelled.outcome, PrintOutcome::Cancelled);
  EXPECT_EQ(cancelled.stop_line, 2u);
  EXPECT_TRUE(cancelled.tool_changes.empty());
}

TEST(PrintReport, SlotMotorsCountForwardTravelAndNetSeparately) {
  TempDir dir;
  write_file(dir.path() + "/feed.gcode",
             "M109 S210\n"
             "SYNC_EXTRUDER_MOTION EXTRUDER=slot0 MOTION_QUEUE=extruder\n"
             "M83\n"
             "G1 E20 F600\n"
             "G1 E-5 F600\n"
             "G1 E5 F600\n"
             "SAVE_VARIABLE VARIABLE=box_count VALUE=1\n"
             "SAVE_VARIABLE VARIABLE=slot0 VALUE=2\n");
  feedbox::RunOptions options;
  options.items = {{RunItem::Kind::Print, dir.path() + "/feed.gcode"}};
  // The start-up self-inspection pushes and pulls each loaded slot first; the print's
  // motor travel starts after it.
  options.settle_s = 60.0;
  options.report_json_path = dir.path() + "/report.json";
  auto result = run(options);
  ASSERT_EQ(result.code, 0) << result.err;

  auto json = nlohmann::json::parse(read_file(options.report_json_path));
  ASSERT_EQ(json["slots"].size(), 4u) << "slots of one box";
  EXPECT_NEAR(json["slots"][0]["fed_mm"].get<double>(), 25.0, 0.01);
  EXPECT_NEAR(json["slots"][0]["net_mm"].get<double>(), 20.0, 0.01);
  EXPECT_EQ(json["slots"][0]["state"], 2);
  EXPECT_EQ(json["slots"][1]["fed_mm"], 0.0);
  EXPECT_TRUE(json["slots"][1]["state"].is_null());
  EXPECT_NE(result.err.find("slot0       25.0      20.0  2 (in the extruder)"), std::string::npos)
      << result.err;
}

TEST(PrintReport, JsonFileTellsWhatTheTextTells) {
  TempDir dir;
  write_file(dir.path() + "/printer.cfg", printer_with_timed_tool_changes());
  write_file(dir.path() + "/two_changes.gcode", kTwoToolChanges);
  feedbox::RunOptions options;
  options.config_path = dir.path() + "/printer.cfg";
  options.data_dir = dir.path() + "/data";
  options.items = {{RunItem::Kind::Print, dir.path() + "/two_changes.gcode"}};
  options.report_json_path = dir.path() + "/report.json";
  auto result = run(options);
  ASSERT_EQ(result.code, 0) << result.err;

  auto json = nlohmann::json::parse(read_file(options.report_json_path));
  EXPECT_EQ(json["outcome"], "complete");
  EXPECT_EQ(json["tool_changes"]["count"], 2);
  auto fixed = [](double value) {
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(1);
    text << value;
    return text.str();
  };
  const std::string& text = result.err;
  EXPECT_NE(text.find("Tool changes        2, " +
                      fixed(json["tool_changes"]["total_s"].get<double>()) + " s in all"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Time printed        " + fixed(json["printed_s"].get<double>()) + " s"),
            std::string::npos)
      << text;
  EXPECT_EQ(json["heater_targets"]["heater_box1"], nlohmann::json({40.0, 50.0}));
  EXPECT_NE(text.find("heater_box1: 40, 50 °C"), std::string::npos) << text;
  EXPECT_EQ(json["error_codes"], nlohmann::json::array());
  EXPECT_NE(text.find("Error codes         none"), std::string::npos) << text;
}

TEST(PrintReport, AReportThatCannotBeWrittenStopsTheRunBeforeItStarts) {
  TempDir dir;
  write_file(dir.path() + "/job.gcode", "SAVE_VARIABLE VARIABLE=ran VALUE=1\n");
  feedbox::RunOptions options;
  options.data_dir = dir.path() + "/data";
  options.items = {{RunItem::Kind::Print, dir.path() + "/job.gcode"}};

  for (const std::string& bad : {dir.path() + "/no/such/folder/report.json", dir.path()}) {
    options.report_json_path = bad;
    auto result = run(options);
    EXPECT_EQ(result.code, 2);
    EXPECT_NE(result.err.find("cannot write the print report to '" + bad + "'"), std::string::npos)
        << result.err;
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/data")) << "nothing was started";
  }

  options.items = {{RunItem::Kind::Command, "G28"}};
  options.report_json_path = dir.path() + "/report.json";
  auto no_print = run(options);
  EXPECT_EQ(no_print.code, 2);
  EXPECT_NE(no_print.err.find("add --print FILE"), std::string::npos) << no_print.err;
}

TEST(PrintReport, ThePreflightCheckRunsFirstAndWarnsWithoutStoppingThePrint) {
  TempDir dir;
  write_file(dir.path() + "/petg.gcode",
             "; filament_type = PETG\n; filament_colour = #FF0000\nT0\nG4 P10\n"
             "SAVE_VARIABLE VARIABLE=printed VALUE=1\n");
  feedbox::RunOptions options;
  options.data_dir = dir.path() + "/data";
  options.items = {{RunItem::Kind::Command, "SAVE_VARIABLE VARIABLE=filament_slot0 VALUE=1"},
                   {RunItem::Kind::Command, "SAVE_VARIABLE VARIABLE=color_slot0 VALUE=3"},
                   {RunItem::Kind::Print, dir.path() + "/petg.gcode"}};
  options.report_json_path = dir.path() + "/report.json";
  options.dump_vars = true;
  auto result = run(options);
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_NE(result.err.find("T0 (slot 1A) holds PLA but the print plans PETG"), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("Pre-flight          Pre-flight: FAIL: T0 not ready"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.out.find("printed = 1"), std::string::npos);
  auto json = nlohmann::json::parse(read_file(options.report_json_path));
  EXPECT_EQ(json["preflight"]["verdict"], "FAIL");
  EXPECT_EQ(json["preflight"]["tools"][0]["material"], "PLA");
  EXPECT_EQ(json["preflight"]["tools"][0]["planned_material"], "PETG");
}

TEST(PrintReport, ThePrintStartMacroWarnsByDefaultAndRefusesWhenAskedTo) {
  TempDir dir;
  const std::string data = dir.path() + "/data";
  const std::string file = data + "/home/zur/printer_data/gcodes/petg.gcode";
  write_file(
      file,
      "; filament_type = PETG\nBOX_PRINT_CHECK\nT0\nSAVE_VARIABLE VARIABLE=printed VALUE=1\n");
  feedbox::RunOptions options;
  options.data_dir = data;
  options.items = {{RunItem::Kind::Command, "SAVE_VARIABLE VARIABLE=filament_slot0 VALUE=1"},
                   {RunItem::Kind::Print, file}};
  options.dump_vars = true;
  auto result = run(options);
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_NE(result.out.find("T0 (slot 1A) holds PLA but the print plans PETG"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("printed = 1"), std::string::npos) << result.out;

  options.items.insert(
      options.items.begin(),
      {RunItem::Kind::Command,
       "SET_GCODE_VARIABLE MACRO=BOX_PRINT_CHECK VARIABLE=on_fail VALUE=\"'error'\""});
  options.data_dir = dir.path() + "/refusing";
  write_file(options.data_dir + "/home/zur/printer_data/gcodes/petg.gcode", read_file(file));
  options.items.back().text = options.data_dir + "/home/zur/printer_data/gcodes/petg.gcode";
  result = run(options);
  EXPECT_NE(result.out.find("!! Pre-flight: FAIL: T0 not ready"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("printed = 1"), std::string::npos) << result.out;
}

}  // namespace

namespace {

feedbox::RunOptions timed_print(const TempDir& dir, const std::string& gcode) {
  write_file(dir.path() + "/printer.cfg", printer_with_timed_tool_changes());
  write_file(dir.path() + "/job.gcode", gcode);
  feedbox::RunOptions options;
  options.config_path = dir.path() + "/printer.cfg";
  options.settle_s = 1.0;
  options.items = {{RunItem::Kind::Print, dir.path() + "/job.gcode"}};
  return options;
}

}  // namespace

TEST(PrintReport, CoversThePrintThroughAPauseAndItsResumeAndTheExitStatusTellsTheEnd) {
  TempDir dir;
  auto options = timed_print(dir, "G28\nPAUSE\nG4 P5000\nG1 X50 F6000\n");
  // Left paused: the print did not complete.
  auto paused = run(options);
  EXPECT_EQ(paused.code, 3) << paused.err;
  EXPECT_NE(paused.err.find("paused at line 2 of 4"), std::string::npos) << paused.err;

  // Resumed by a later command, it runs on to its end within the same report.
  options.items.push_back({RunItem::Kind::Command, "RESUME"});
  auto resumed = run(options);
  EXPECT_EQ(resumed.code, 0) << resumed.err;
  EXPECT_NE(resumed.err.find("Outcome             complete (4 lines)"), std::string::npos)
      << resumed.err;
  EXPECT_NE(resumed.err.find("Pauses              1"), std::string::npos);
  // The report's time ends with the print, not with the run's --after.
  options.after_s = 500.;
  auto later = run(options);
  EXPECT_EQ(later.err, resumed.err);
}

TEST(FeedboxRunOutput, TemperatureWaitsFoldIntoOneLineUnlessVerbose) {
  feedbox::RunOptions options;
  options.boxes = 0;
  options.settle_s = 1.0;
  options.items = {{RunItem::Kind::Command, "M109 S200"}, {RunItem::Kind::Command, "M105"}};
  const auto folded = run(options);
  std::istringstream lines(folded.out);
  std::vector<std::string> temperature_lines;
  for (std::string line; std::getline(lines, line);)
    if (feedbox::is_temperature_report(line.substr(0, line.find("  (last of"))))
      temperature_lines.push_back(line);
  ASSERT_EQ(temperature_lines.size(), 2u) << folded.out;
  EXPECT_NE(temperature_lines[0].find(" /200.0  (last of "), std::string::npos);
  EXPECT_NE(temperature_lines[0].find(" temperature reports while waiting; --verbose shows each)"),
            std::string::npos);
  EXPECT_EQ(temperature_lines[1].find("(last of"), std::string::npos) << "a single report stays";

  options.verbose = true;
  const auto verbose = run(options);
  EXPECT_GT(std::count(verbose.out.begin(), verbose.out.end(), '\n'), 20) << verbose.out;
}

TEST(FeedboxRunOutput, TemperatureReportsAreRecognisedAndNothingElse) {
  for (const char* line : {"T:0", "T0:25.0 /0.0", "T:210.3 /215.0 B:60.0 /60.0", "ok T:20.0 /0.0",
                           "B:59.9 /60.0 T0:200.1 /200.0 T1:25.0 /0.0"})
    EXPECT_TRUE(feedbox::is_temperature_report(line)) << line;
  for (const char* line : {"// T:20.0 /0.0", "!! T0:25.0", "Code:ZKE_004_005", "T0:abc /0.0", ""})
    EXPECT_FALSE(feedbox::is_temperature_report(line)) << line;
}
