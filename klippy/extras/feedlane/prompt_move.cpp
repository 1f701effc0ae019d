// SLOT_PROMPT_MOVE: a short nudge of a parked strand, so that the user sees which slot is
// meant.
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedlane/box_extruder_stepper.h"

namespace feedlane {
namespace {

constexpr double kNudgeMm = 20;
constexpr double kNudgeSpeedMmS = 50;
constexpr double kNudgeAccelMmS2 = 50;
constexpr double kNudgePauseS = 0.5;

}  // namespace

void BoxExtruderStepper::cmd_SLOT_PROMPT_MOVE(klippy::GCodeCommand& gcmd) {
  // Only a strand parked in the box may move: one in the extruder is held by its gears.
  if (!box_state_.slot_is(stepper_num_, SlotState::ParkedInBox)) {
    gcmd.respond_info("SLOT_PROMPT_MOVE: " + stepper_label_ +
                      " is not parked in the box, so it was not moved (only a parked strand "
                      "is nudged; BOX_STATUS shows where each slot's filament is).");
    return;
  }
  feedhub::ActivityScope activity(feedhub_, feedhub::Operation::PromptMove, stepper_num_);
  do_move(kNudgeMm, kNudgeSpeedMmS, kNudgeAccelMmS2);
  dwell(kNudgePauseS);
  do_move(-kNudgeMm, kNudgeSpeedMmS, kNudgeAccelMmS2);
  disable_stepper();
  activity.succeeded({}, queued_moves_end());
}

}  // namespace feedlane
