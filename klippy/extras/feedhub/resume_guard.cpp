// The example configuration's RESUME runs BOX_CHECK_RESUME first: a print whose box step
// failed (a load, say) would otherwise resume with an empty nozzle and print a layer of air.
#include <string>

#include "klippy/extras/feedhub/feedhub.h"

namespace feedhub {

void FeedHub::register_resume_guard_commands() {
  register_command(
      "BOX_CHECK_RESUME", [this](klippy::GCodeCommand& gcmd) { cmd_BOX_CHECK_RESUME(gcmd); },
      "Fail while a failed box step (retry_step) waits for TRY_MOVE_AGAIN; RESUME runs it");
  register_command(
      "BOX_CLEAR_ERROR", [this](klippy::GCodeCommand& gcmd) { cmd_BOX_CLEAR_ERROR(gcmd); },
      "Forget the failed box step after fixing it by hand, so that RESUME may go on");
}

std::string FeedHub::resume_refusal() const {
  const klippy::Value recorded = box_state_.recorded_step();
  // A step that failed before this print did not stop it printing: it does not concern
  // the nozzle of this print, and stays recorded for its own retry.
  if (!is_step_pending(recorded) || !errors_.step_recorded_in_print()) return "";
  return "Not resuming: box step " + recorded.str() +
         " failed and has not been retried; the nozzle may hold no filament. Run "
         "TRY_MOVE_AGAIN to repeat it (the print resumes when it succeeds), or, "
         "after fixing it by hand, BOX_CLEAR_ERROR and then RESUME.";
}

void FeedHub::cmd_BOX_CHECK_RESUME(klippy::GCodeCommand& gcmd) {
  const klippy::Value recorded = box_state_.recorded_step();
  if (!is_step_pending(recorded)) {
    errors_.close_error_notice();
    return;
  }
  const std::string refusal = resume_refusal();
  if (!refusal.empty()) throw gcmd.error(refusal);
  gcmd.respond_info("Resuming: box step " + recorded.str() +
                    " failed before this print and does not concern it; it stays recorded "
                    "(TRY_MOVE_AGAIN repeats it, BOX_CLEAR_ERROR forgets it)");
}

void FeedHub::cmd_BOX_CLEAR_ERROR(klippy::GCodeCommand& gcmd) {
  const klippy::Value recorded = box_state_.recorded_step();
  if (!is_step_pending(recorded)) {
    gcmd.respond_info("No failed box step to clear");
    return;
  }
  box_state_.set_recorded_step(klippy::Value());
  errors_.close_error_notice();
  gcmd.respond_info("Cleared failed box step " + recorded.str() +
                    " without retrying it; RESUME will now resume the print");
}

}  // namespace feedhub
