// Withdrawing a slot's filament from the extruder back into the box, and the hand-over of
// a run-out spool's tool during a print.
#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/runout_group.h"
#include "klippy/extras/feedhub/tool_change.h"
#include "klippy/extras/feedlane/box_extruder_stepper.h"

namespace feedlane {
namespace {

namespace reports = feedhub::reports;

constexpr const char* kCutScript = "CUT_FILAMENT\nMOVE_TO_TRASH\n";

}  // namespace

void BoxExtruderStepper::cmd_EXTRUDER_UNLOAD(klippy::GCodeCommand& /*gcmd*/, bool can_cut) {
  if (feedhub_.tool_change().exclude_tool()) return;
  feedhub_.refuse_unload_of_other_slot("EXTRUDER_UNLOAD", stepper_name_);
  if (is_printing() && r_endstop_state_ && feedhub::hands_over_on_runout(feedhub_, stepper_num_)) {
    feedhub::ActivityScope activity(feedhub_, feedhub::Operation::ExtruderUnload, stepper_num_);
    toolhead().wait_moves();
    const bool purged = feedhub::conclude(feedhub_, flush_all_filament());
    hand_over_tool(activity, purged);
    return;
  }
  // A spool that ran out without a replacement paused the print as it ran out. An unload
  // after that is a change to another tool: it takes out what is left of the strand like
  // any unload. Pausing again here would let the change load the next tool behind it.
  feedhub::conclude(feedhub_, extruder_unload(can_cut));
}

feedhub::OpResult BoxExtruderStepper::extruder_unload(bool can_cut) {
  feedhub::ActivityScope activity(feedhub_, feedhub::Operation::ExtruderUnload, stepper_num_);
  toolhead().wait_moves();
  feedhub::OpResult result = withdraw_and_park(can_cut);
  if (result.ok()) activity.succeeded({}, queued_moves_end());
  return result;
}

feedhub::OpResult BoxExtruderStepper::withdraw_and_park(bool can_cut) {
  using feedhub::OpResult;
  // Every value is checked before the first move, so a bad one changes nothing.
  const FeedMove pull_back = checked_tuning(kExtruderUnload1);
  const FeedMove park = checked_tuning(kExtruderUnload2);
  // During a print the slicer's block has cut already.
  if (!is_printing() && can_cut && filament_at_extruder_entry()) {
    progress_.step("cutting the filament at the toolhead");
    gcode_.run_script_from_command(kCutScript);
  }
  slot_sync(false);
  if (sensors_.b_endstop_state()) {
    save_state(SlotState::Failed);
    log_sensor_states();
    return OpResult::failed(reports::kExtruderNotLoaded, stepper_num_);
  }
  if (!withdraw_from_extruder(pull_back)) {
    save_state(SlotState::ExtruderFailed);
    log_sensor_states();
    disable_stepper();
    return OpResult::failed(reports::kExtruderUnloadFailed, stepper_num_);
  }
  do_move(park.length_mm, park.speed_mm_s, park.accel_mm_s2);
  progress_.step("parking behind the box outlet", queued_moves_end());
  save_state(SlotState::ParkedInBox);
  disable_stepper();
  // The strand left the outlet sensor long after it left the entry: an entry that still
  // sees filament holds a piece that broke off in the toolhead.
  if (filament_at_extruder_entry()) {
    log_sensor_states();
    return OpResult::failed(reports::kExtruderUnloadFailed, stepper_num_,
                            stepper_label_ +
                                " was withdrawn past the box outlet, but the extruder entry sensor "
                                "still sees filament: a piece is left in the toolhead.");
  }
  return OpResult::done();
}

bool BoxExtruderStepper::withdraw_from_extruder(const FeedMove& pull_back) {
  bool home_success = false;
  {
    const feedhub::TimerWake watching(reactor_, sensors_.b_endstop_timer());
    save_state(SlotState::AtSensor);
    try {
      // The outlet endstop trips when the filament has left the outlet sensor.
      progress_.step("pulling the filament back through the tube to the box outlet");
      home_success = do_home_repeatedly(b_endstop_, pull_back.length_mm, pull_back.speed_mm_s,
                                        pull_back.accel_mm_s2, true);
    } catch (const klippy::CommandError&) {
      disable_stepper();
      throw;
    }
  }
  if (!home_success) return false;
  box_state_.set_loaded_slot(std::nullopt);
  if (b_endstop_.scram()) {
    b_endstop_.set_scram(false);
    return false;
  }
  return true;
}

}  // namespace feedlane
