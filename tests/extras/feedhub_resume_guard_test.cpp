// The example configuration's RESUME against the filament world: a print paused by a failed
// load does not resume into an empty nozzle; TRY_MOVE_AGAIN, or BOX_CLEAR_ERROR after a fix
// by hand, lets it go on.
#include <gtest/gtest.h>

#include <algorithm>

#include "apps/feedbox/session.h"
#include "sim/host/print_job.h"
#include "sim/host/print_stats.h"
#include "tests/support/test_host.h"

namespace {

using klippy::Value;

bool mentions(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

class ResumeGuard : public ::testing::Test {
 protected:
  void SetUp() override {
    feedbox::SessionOptions options;
    options.boxes = 1;
    options.data_dir = dir_.path();
    options.output = [this](const std::string& text) { output_.push_back(text); };
    session_ = std::make_unique<feedbox::Session>(std::move(options));
    // Past the start-up tag reads and self-inspection.
    session_->advance(100);
  }
  sim::SimHost& host() { return session_->host(); }
  sim::SimPrintJob& job() {
    return host().printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
  }
  void run_job() {
    host().run_until([&] { return !job().is_active() || job().is_paused(); }, 1e6);
  }
  std::vector<std::string> command(const std::string& line) {
    output_.clear();
    session_->run_command(line);
    return output_;
  }
  Value variable(const std::string& name) {
    const auto status = host().printer().find_object("save_variables")->get_status(0.);
    const Value* variables = status->find("variables");
    const Value* found = variables ? variables->find(name) : nullptr;
    return found ? *found : Value(0);
  }
  Value head_position() {
    const auto status =
        host().printer().find_object("toolhead")->get_status(host().reactor().monotonic());
    return *status->find("position");
  }
  // Slot 1's load into the extruder jams: the print pauses with the step recorded.
  void pause_on_a_failed_load() {
    command("SIM_FAULT SLOT=1 KIND=jam");
    job().start(
        "guard.gcode",
        {"G28", "G90", "M83", "SET_GCODE_VARIABLE MACRO=RESUME_PRINT VARIABLE=etemp VALUE=210",
         "M109 S210", "EXTRUDER_LOAD SLOT=slot1", "G1 E80 F300", "G1 X50 Y50 E5 F3000", "M400"});
    run_job();
    ASSERT_TRUE(job().is_paused()) << testing::PrintToString(output_);
    ASSERT_TRUE(variable("retry_step").is_string());
  }
  void finish_job() {
    run_job();
    EXPECT_FALSE(job().is_active());
    EXPECT_EQ(host().printer().lookup_object<sim::SimPrintStats>("print_stats").state(),
              "complete");
  }

  testing_support::TempDir dir_;
  std::vector<std::string> output_;
  std::unique_ptr<feedbox::Session> session_;
};

TEST_F(ResumeGuard, PlainResumeIsRefusedAndMovesNothingUntilTheRetrySucceeds) {
  pause_on_a_failed_load();
  const Value step = variable("retry_step");
  const Value parked_at = head_position();

  const auto refused = command("RESUME");
  EXPECT_TRUE(mentions(refused, "!! Not resuming: box step " + step.str()))
      << testing::PrintToString(refused);
  EXPECT_TRUE(mentions(refused, "TRY_MOVE_AGAIN")) << testing::PrintToString(refused);
  session_->advance(30);
  EXPECT_TRUE(job().is_paused());
  EXPECT_EQ(head_position(), parked_at) << "neither the head nor the extruder moved";
  EXPECT_EQ(variable("retry_step"), step);

  command("SIM_FAULT SLOT=1 KIND=clear");
  command("TRY_MOVE_AGAIN");
  EXPECT_TRUE(variable("retry_step").is_none());
  EXPECT_FALSE(job().is_paused()) << testing::PrintToString(output_);
  finish_job();
}

TEST_F(ResumeGuard, AStepFixedByHandIsClearedOnRequestAndResumeGoesOn) {
  pause_on_a_failed_load();
  EXPECT_TRUE(mentions(command("BOX_CLEAR_ERROR"), "Cleared failed box step"));
  EXPECT_TRUE(variable("retry_step").is_none());
  EXPECT_TRUE(mentions(command("BOX_CLEAR_ERROR"), "No failed box step to clear"));
  EXPECT_TRUE(job().is_paused()) << "clearing alone does not resume";

  command("SIM_FAULT SLOT=1 KIND=clear");
  command("EXTRUDER_LOAD SLOT=slot1");
  EXPECT_FALSE(mentions(command("RESUME"), "!!")) << testing::PrintToString(output_);
  EXPECT_FALSE(job().is_paused());
  finish_job();
}

TEST_F(ResumeGuard, RenamedResumeKeepsItsHelpAndTheBoxesOwnResumePath) {
  const auto help = command("HELP");
  EXPECT_TRUE(mentions(help, "BASE_RESUME: Renamed builtin of 'RESUME'"))
      << testing::PrintToString(help);
  EXPECT_TRUE(mentions(help, "RESUME: Resume the paused print, unless a failed box step"));
  EXPECT_TRUE(mentions(command("RESUME_PRINT TOOL_CHANGE=1"), "Print is not paused"));
}

}  // namespace
