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
    // The report says what the sensors see, and names the record to replay.
    EXPECT_TRUE(mentions(output_,
                         "// Sensors now: box outlet clear, extruder entry clear. Its "
                         "record: "));
    EXPECT_TRUE(mentions(output_, "/printer_data/logs/box_record_000001.jsonl (feedbox replay"));
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

// A load that failed before the print does not block resuming a pause of the user's own.
TEST_F(ResumeGuard, AStepFailedBeforeThePrintDoesNotBlockAnUnrelatedResume) {
  command("SIM_FAULT SLOT=1 KIND=jam");
  command("EXTRUDER_LOAD SLOT=slot1");
  ASSERT_TRUE(variable("retry_step").is_string());
  command("SIM_FAULT SLOT=1 KIND=clear");
  job().start("own.gcode", {"G28", "G90", "G4 P5000", "G1 X50 Y50 F3000", "M400"});
  host().advance(1.0);
  command("PAUSE");
  const auto lines = command("RESUME");
  EXPECT_TRUE(mentions(lines, "failed before this print")) << testing::PrintToString(lines);
  EXPECT_FALSE(mentions(lines, "Not resuming"));
  finish_job();
}

TEST_F(ResumeGuard, PlainResumeIsRefusedAndMovesNothingUntilTheRetrySucceeds) {
  pause_on_a_failed_load();
  const Value step = variable("retry_step");
  const Value parked_at = head_position();

  const auto refused = command("RESUME");
  // Once, though the refusal leaves through the RESUME macro.
  EXPECT_EQ(std::count_if(refused.begin(), refused.end(),
                          [](const std::string& line) {
                            return line.find("Not resuming") != std::string::npos;
                          }),
            1)
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

Value display_message(sim::SimHost& host) {
  return *host.printer().find_object("display_status")->get_status(0.)->find("message");
}

// A front end shows the reason of the pause: an error line, its status message and a dialog
// whose buttons retry, explain or clear; all of it goes away once the retry succeeds.
TEST_F(ResumeGuard, APausedPrintShowsWhyAndOffersTheRetryUntilItSucceeds) {
  pause_on_a_failed_load();
  EXPECT_TRUE(mentions(output_, "Code:ZKE_004_006; Message:Extruder loading failure."));
  EXPECT_TRUE(mentions(output_, "What to do (ZKE_004_006): Check the tube"));
  EXPECT_TRUE(mentions(output_,
                       "!! Print paused by the box. ZKE_004_006 at 1B: Extruder loading "
                       "failure. Fix the cause, then run TRY_MOVE_AGAIN"))
      << testing::PrintToString(output_);
  EXPECT_TRUE(mentions(output_, "action:prompt_begin Box paused the print"));
  EXPECT_TRUE(mentions(output_, "action:prompt_footer_button Retry|TRY_MOVE_AGAIN|primary"));
  EXPECT_TRUE(mentions(output_, "action:prompt_show"));
  EXPECT_EQ(display_message(host()).str(),
            "Box paused: ZKE_004_006 at 1B: Extruder loading failure.");

  const auto help = command("BOX_ERROR_HELP");
  EXPECT_TRUE(mentions(help, "ZKE_004_006 (information): Extruder loading failure."))
      << testing::PrintToString(help);
  EXPECT_TRUE(mentions(help, "What happened: The filament of 1B did not reach"));
  EXPECT_TRUE(mentions(help,
                       "Retry: TRY_MOVE_AGAIN heats the nozzle and loads 1B into the "
                       "extruder again"));

  command("SIM_FAULT SLOT=1 KIND=jam");
  const auto failed_again = command("TRY_MOVE_AGAIN");
  EXPECT_TRUE(mentions(failed_again, "action:prompt_end"));
  EXPECT_TRUE(mentions(failed_again, "action:prompt_show")) << "the new failure shows anew";
  EXPECT_TRUE(job().is_paused());

  command("SIM_FAULT SLOT=1 KIND=clear");
  const auto retried = command("TRY_MOVE_AGAIN");
  EXPECT_TRUE(mentions(retried, "action:prompt_end")) << testing::PrintToString(retried);
  EXPECT_FALSE(mentions(retried, "action:prompt_show"));
  EXPECT_TRUE(display_message(host()).is_none());
  finish_job();
}

// Outside a print a failure is reported and explained, but there is no pause to announce.
TEST_F(ResumeGuard, AFailureOutsideAPrintAnnouncesNoPause) {
  command("SIM_FAULT SLOT=1 KIND=jam");
  const auto failed = command("EXTRUDER_LOAD SLOT=slot1");
  EXPECT_TRUE(mentions(failed, "What to do (ZKE_004_006)")) << testing::PrintToString(failed);
  EXPECT_FALSE(mentions(failed, "Print paused by the box"));
  EXPECT_FALSE(mentions(failed, "action:prompt"));
  EXPECT_TRUE(display_message(host()).is_none());
}

TEST_F(ResumeGuard, ErrorHelpExplainsAnyCodeAndRefusesUnknownOnes) {
  EXPECT_TRUE(mentions(command("BOX_ERROR_HELP"), "No box step is waiting for a retry"));
  EXPECT_TRUE(
      mentions(command("BOX_ERROR_HELP CODE=zke_004_003"),
               "ZKE_004_003 (warning): Slot unloading failure, please unload the slot again."));
  EXPECT_TRUE(mentions(command("BOX_ERROR_HELP CODE=16"), "TRY_MOVE_AGAIN only forgets the step"));
  const auto unknown = command("BOX_ERROR_HELP CODE=8");
  EXPECT_TRUE(mentions(unknown,
                       "!! BOX_ERROR_HELP: '8' is no box error code; give CODE= one of "
                       "1-7, 9-11, 13, 15-24"))
      << testing::PrintToString(unknown);
}

TEST_F(ResumeGuard, RenamedResumeKeepsItsHelpAndTheBoxesOwnResumePath) {
  const auto help = command("HELP");
  EXPECT_TRUE(mentions(help, "BASE_RESUME: Renamed builtin of 'RESUME'"))
      << testing::PrintToString(help);
  EXPECT_TRUE(mentions(help, "RESUME    : Resume the paused print, unless a failed box step"));
  EXPECT_TRUE(mentions(command("RESUME_PRINT TOOL_CHANGE=1"), "Print is not paused"));
}

}  // namespace
