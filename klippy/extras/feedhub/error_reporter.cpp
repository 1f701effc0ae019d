#include "klippy/extras/feedhub/error_reporter.h"

#include <string>

#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/print_journal.h"

namespace feedhub {
namespace {

// The host reads "#" and ";" in a command line as the start of a comment and a quote as the
// end of the value: none may reach the display text's parameter.
std::string display_safe(const std::string& text) {
  std::string safe;
  for (char c : text) {
    if (c == '"' || c == ';' || c == '#' || c == '\n') continue;
    safe += c;
  }
  return safe;
}

std::string report_summary(const ErrorReport& report, std::optional<int> slot) {
  std::string message = report_message(report, slot);
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return step_name_for(report.code) + (slot ? " at " + slot_label(*slot) : "") + ": " + message;
}

}  // namespace

ErrorReporter::ErrorReporter(klippy::Printer& printer, klippy::GCodeDispatch& gcode,
                             klippy::PrintStats& print_stats, BlackBox& black_box,
                             BoxState& box_state, BoxSensors& sensors, BoxStats& stats,
                             PrintJournal& print_journal, bool error_prompt)
    : printer_(printer),
      gcode_(gcode),
      print_stats_(print_stats),
      black_box_(black_box),
      box_state_(box_state),
      sensors_(sensors),
      stats_(stats),
      print_journal_(print_journal),
      error_prompt_(error_prompt) {}

void ErrorReporter::report_error(const ErrorReport& report, std::optional<int> slot) {
  make_report(report, slot, slot);
}

void ErrorReporter::report_error_general_step(const ErrorReport& report, int slot) {
  make_report(report, slot, std::nullopt);
}

void ErrorReporter::make_report(const ErrorReport& report, std::optional<int> slot,
                                std::optional<int> step_slot) {
  black_box_.error_reported(report, slot, report_text(report, slot));
  send_report(gcode_, report, slot);
  note_error(report, slot);
  box_state_.set_recorded_step(retry_step_for(report.code, step_slot));
  // The record written for the report holds the file as it stands: the failed step in it.
  box_state_.write_pending();
  // Where the filament is, as the sensors see it, is the first thing to know when fixing the
  // failure; the record holds how it came there.
  const bool at_outlet = !sensors_.b_endstop_state();
  const bool at_entry = sensors_.filament_at_extruder_entry();
  const std::optional<std::string> record = black_box_.dump_after_error(report, step_slot);
  gcode_.respond_info(
      std::string("Sensors now: box outlet ") + (at_outlet ? "sees filament" : "clear") +
      ", extruder entry " + (at_entry ? "sees filament" : "clear") + "." +
      (record ? " Its record: " + *record + " (feedbox replay shows where the filament went)."
              : ""));
}

void ErrorReporter::note_error(const ErrorReport& report, std::optional<int> slot) {
  // Only a step of the running print may have left its nozzle without filament.
  const std::string print_state = print_stats_.state();
  step_recorded_in_print_ = print_state == "printing" || print_state == "paused";
  last_error_ = RecordedError{report, slot, printer_.get_reactor().monotonic()};
  stats_.count_failure(slot, report.code);
  print_journal_.count_error();
}

void ErrorReporter::pause_for_error(const ErrorReport& report, std::optional<int> slot) {
  const std::string state = print_stats_.state();
  const bool in_print = state == "printing" || state == "paused";
  // The user's PAUSE and front ends read the failed step and the slots from the file.
  box_state_.write_pending();
  gcode_.run_script_from_command("PAUSE");
  if (!in_print) return;
  print_journal_.note_box_pause();
  announce_pause(report, slot);
}

void ErrorReporter::announce_pause(const ErrorReport& report, std::optional<int> slot) {
  const std::string summary = report_summary(report, slot);
  gcode_.respond_raw("!! Print paused by the box. " + summary +
                     " Fix the cause, then run TRY_MOVE_AGAIN (BOX_ERROR_HELP explains it).");
  if (gcode_.is_registered("SET_DISPLAY_TEXT"))
    gcode_.run_script_from_command("SET_DISPLAY_TEXT MSG=\"Box paused: " + display_safe(summary) +
                                   "\"");
  notice_open_ = true;
  if (!error_prompt_) return;
  // The dialog of the host's front ends: a title, text lines, buttons that send commands.
  for (const std::string& line : {
           std::string("action:prompt_begin Box paused the print"),
           "action:prompt_text " + summary,
           "action:prompt_text " + advice_line(report, slot),
           std::string("action:prompt_button Explain|BOX_ERROR_HELP|info"),
           std::string("action:prompt_footer_button Retry|TRY_MOVE_AGAIN|primary"),
           std::string("action:prompt_footer_button Fixed by hand|BOX_CLEAR_ERROR|secondary"),
           std::string("action:prompt_show"),
       })
    gcode_.respond_info(line);
}

void ErrorReporter::close_error_notice() {
  if (!notice_open_) return;
  notice_open_ = false;
  if (gcode_.is_registered("SET_DISPLAY_TEXT")) gcode_.run_script_from_command("SET_DISPLAY_TEXT");
  if (error_prompt_) gcode_.respond_info("action:prompt_end");
}

}  // namespace feedhub
