// BOX_ERROR_HELP: what a code of the catalogue means and what to do about it.
#include <optional>
#include <string>

#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/feedhub.h"

namespace feedhub {
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
  const auto& last_error = errors_.last_error();
  if (last_error && last_error->report.code == report->code) slot = last_error->slot;
  if (!slot && pending && report_of_code(recorded.str())->code == report->code) {
    const std::optional<RetryStep> step = parse_retry_step(recorded.str());
    if (step && step->slot_number != "00") slot = parse_slot(step->slot_number);
  }
  gcmd.respond_info(catalogue_entry_text(*report, slot));
}

}  // namespace feedhub
