// What the box tells front ends and people about a failure: the reason of a pause where front
// ends show it, and BOX_ERROR_HELP for any code of the catalogue.
#include <string>

#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/feedhub.h"

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

void FeedHub::pause_for_error(const ErrorReport& report, std::optional<int> slot) {
  const std::string state = print_stats_.state();
  const bool in_print = state == "printing" || state == "paused";
  // The user's PAUSE and front ends read the failed step and the slots from the file.
  box_state_.write_pending();
  gcode_.run_script_from_command("PAUSE");
  if (!in_print) return;
  print_journal_.note_box_pause();
  announce_pause(report, slot);
}

void FeedHub::announce_pause(const ErrorReport& report, std::optional<int> slot) {
  const std::string summary = report_summary(report, slot);
  gcode_.respond_raw("!! Print paused by the box. " + summary +
                     " Fix the cause, then run TRY_MOVE_AGAIN (BOX_ERROR_HELP explains it).");
  if (gcode_.is_registered("SET_DISPLAY_TEXT"))
    gcode_.run_script_from_command("SET_DISPLAY_TEXT MSG=\"Box paused: " + display_safe(summary) +
                                   "\"");
  error_notice_open_ = true;
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

void FeedHub::close_error_notice() {
  if (!error_notice_open_) return;
  error_notice_open_ = false;
  if (gcode_.is_registered("SET_DISPLAY_TEXT")) gcode_.run_script_from_command("SET_DISPLAY_TEXT");
  if (error_prompt_) gcode_.respond_info("action:prompt_end");
}

void FeedHub::register_error_help_command() {
  register_command(
      "BOX_ERROR_HELP", [this](klippy::GCodeCommand& gcmd) { cmd_BOX_ERROR_HELP(gcmd); },
      "Explain a box error: what happened, what to do, what TRY_MOVE_AGAIN does "
      "[CODE=<n | ZKE_004_nnn>] (default: the failed step waiting for a retry)");
}

void FeedHub::cmd_BOX_ERROR_HELP(klippy::GCodeCommand& gcmd) {
  const klippy::Value recorded = box_state_.recorded_step();
  const bool pending = is_step_pending(recorded);
  std::optional<ErrorReport> report;
  if (gcmd.has("CODE")) {
    report = report_of_code(gcmd.get("CODE"));
    if (!report)
      throw gcmd.error("BOX_ERROR_HELP: '" + gcmd.get("CODE") +
                       "' is no box error code; give CODE= one of " + known_codes() +
                       " or its name, like ZKE_004_006.");
  } else if (pending) {
    report = report_of_code(recorded.str());
    if (!report)
      throw gcmd.error("BOX_ERROR_HELP: the failed step '" + recorded.str() +
                       "' has no code of the catalogue; TRY_MOVE_AGAIN only forgets it.");
  } else {
    gcmd.respond_info(
        "No box step is waiting for a retry. BOX_ERROR_HELP CODE=<n> explains "
        "any box error (codes " +
        known_codes() + ").");
    return;
  }
  // The slot of the failure being explained, when it is the one pending or the last one.
  std::optional<int> slot;
  if (last_error_ && last_error_->report.code == report->code) slot = last_error_->slot;
  if (!slot && pending && report_of_code(recorded.str())->code == report->code) {
    const std::optional<RetryStep> step = parse_retry_step(recorded.str());
    if (step && step->slot_number != "00") slot = parse_slot(step->slot_number);
  }
  gcmd.respond_info(catalogue_entry_text(*report, slot));
}

}  // namespace feedhub
