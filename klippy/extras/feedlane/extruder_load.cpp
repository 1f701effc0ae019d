// The second and third stretch of the filament path: from the box outlet through the tube
// into the extruder, with a recovery at the wipe positions when the filament does not
// arrive, and the coupling of the slot motor to the extruder.
#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/head_paths.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedhub/tool_change.h"
#include "klippy/extras/feedlane/box_extruder_stepper.h"

namespace feedlane {
namespace {

namespace reports = feedhub::reports;

constexpr const char* kSettle = "G4 P2000\nM400";

// Each recovery pass pulls back a little and pushes once more, unwatched.
constexpr int kRecoveryPasses = 2;
constexpr double kRecoveryPullBackMm = -50.;
constexpr double kRecoveryPullBackAccelMmS2 = 300.;
constexpr double kRecoveryPushMm = 100.;
constexpr double kRecoverySpeedMmS = 100.;
constexpr double kRecoveryPushAccelMmS2 = 100.;
constexpr double kRecoveryPauseS = 1.;

}  // namespace

bool BoxExtruderStepper::filament_at_extruder_entry() {
  return sensors_.filament_at_extruder_entry();
}

bool BoxExtruderStepper::is_printing() {
  return print_stats_.state() == "printing";
}

void BoxExtruderStepper::cmd_EXTRUDER_LOAD(klippy::GCodeCommand& /*gcmd*/) {
  if (feedhub_.tool_change().exclude_tool()) return;
  if (r_endstop_state_) {
    // Asked for by hand or by a macro, the missing filament holds everything up, print or
    // not.
    log_sensor_states();
    errors_.report_error(reports::kLoadFilamentFirst, stepper_num_);
    errors_.pause_for_error(reports::kLoadFilamentFirst, stepper_num_);
    return;
  }
  feedhub::conclude(feedhub_, extruder_load());
}

feedhub::OpResult BoxExtruderStepper::extruder_load() {
  using feedhub::OpResult;
  feedhub::ActivityScope activity(feedhub_, feedhub::Operation::ExtruderLoad, stepper_num_);
  toolhead().wait_moves();
  if (r_endstop_state_) {
    log_sensor_states();
    return OpResult::failed(reports::kLoadFilamentFirst, stepper_num_);
  }
  const std::string last_load_slot = box_state_.loaded_slot_name();
  const std::string coupled_slot = box_state_.coupled_slot_name();
  if (last_load_slot == stepper_name_ && filament_at_extruder_entry() &&
      coupled_slot == stepper_name_) {
    gcode_.respond_info(stepper_label_ + " has been sync with Extruder.");
    return OpResult::done();
  }
  // The entry already sees filament while this slot's strand has not left the box: the
  // strand there is another's (a run-out spool's tail drawn on by the extruder). Homing
  // onto that sensor would end at once and claim a load that never happened.
  if (sensors_.b_endstop_state() && filament_at_extruder_entry())
    return OpResult::failed(
        reports::kExtruderLoadFailed, stepper_num_,
        stepper_label_ + " was not loaded: the extruder entry sensor already sees filament while " +
            stepper_label_ +
            " is still in the box. Another strand (the tail of a spool that ran out?) is in the "
            "tube or the extruder: take it out (EXTRUDER_UNLOAD, or by hand at the toolhead), "
            "then load again.");
  // Every value is checked before the first move, so a bad one changes nothing.
  const FeedMove to_outlet = checked_tuning(kExtruderLoad1);
  const FeedMove through_tube = checked_tuning(kExtruderLoad2);
  const FeedMove final_approach = checked_tuning(kExtruderLoad3);

  bool home_success = false;
  if (sensors_.b_endstop_state()) {
    const feedhub::TimerWake watching(reactor_, sensors_.b_endstop_timer());
    save_state(SlotState::AtSensor);
    progress_.step("pushing the filament to the box outlet");
    try {
      home_success = do_home(b_endstop_.get_endstops(), to_outlet.length_mm, to_outlet.speed_mm_s,
                             to_outlet.accel_mm_s2, false);
    } catch (const klippy::CommandError&) {
      disable_stepper();
      throw;
    }
  }
  // Filament of another slot in the outlet path fails the load without a move.
  if ((!sensors_.b_endstop_state() && last_load_slot == stepper_name_) || home_success) {
    box_state_.set_loaded_slot(stepper_num_);
    const feedhub::TimerWake watching(reactor_, sensors_.e_endstop_timer());
    try {
      progress_.step("feeding the filament through the tube to the extruder entry");
      home_success = reach_extruder_entry(through_tube, final_approach);
      if (home_success) {
        progress_.step("pushing the filament into the extruder gears");
        // Pushed on once the sensor has reported on the stopped filament: a strand that
        // sprang back from the entry is behind it again and the push has to bring it in.
        wait_for_entry_report();
        home_success =
            do_home_repeatedly(e_endstop_, final_approach.length_mm, final_approach.speed_mm_s,
                               final_approach.accel_mm_s2, false);
        if (!home_success) {
          progress_.step("trying again: the extruder gears did not take the filament");
          gcode_.run_script_from_command("CLEAR_OOZE");
          home_success = recover_extruder_load();
        }
      }
    } catch (const klippy::CommandError&) {
      disable_stepper();
      throw;
    }
  }
  if (home_success) {
    // Counted before the save that records the load, which carries the count with it.
    variables_.stats().count_load(stepper_num_);
    save_state(SlotState::InExtruder);
    slot_sync(true);
    // A runout or the box's own moves switched the print's jam watch off; the strand that
    // now feeds the print is watched again.
    gcode_.run_script_from_command("SET_FILAMENT_SENSOR SENSOR=box_motion_sensor ENABLE=1");
  } else {
    if (box_state_.coupled_slot_name() == feedhub::kNoSlot) save_state(SlotState::ExtruderFailed);
    log_sensor_states();
  }
  disable_stepper();
  dwell(DISABLE_DELAY);
  sync_print_time();
  if (!home_success) return OpResult::failed(reports::kExtruderLoadFailed, stepper_num_);
  activity.succeeded({}, queued_moves_end());
  return OpResult::done();
}

bool BoxExtruderStepper::recover_extruder_load() {
  variables_.save_variable(
      "load_retry_num",
      feedhub::saved_int(feedhub_, "load_retry_num", 0, 0, feedhub::kMaxSavedCount) + 1);
  // Every way out leaves the head at the trash, ready to purge.
  auto arrived = [this] {
    gcode_.run_script_from_command(feedhub::kMoveToTrash);
    return true;
  };
  for (int pass = 0; pass < kRecoveryPasses; ++pass) {
    gcode_.run_script_from_command(pass == 0 ? feedhub::kFirstTrashScript
                                             : feedhub::kSecondTrashScript);
    gcode_.run_script_from_command(kSettle);
    if (filament_at_extruder_entry()) return arrived();
    dwell(kRecoveryPauseS);
    do_move(kRecoveryPullBackMm, kRecoverySpeedMmS, kRecoveryPullBackAccelMmS2);
    dwell(kRecoveryPauseS);
    if (do_home(e_endstop_.get_endstops(), kRecoveryPushMm, kRecoverySpeedMmS,
                kRecoveryPushAccelMmS2, false, false))
      return arrived();
    gcode_.run_script_from_command(kSettle);
    if (filament_at_extruder_entry()) return arrived();
  }
  gcode_.run_script_from_command(feedhub::kMoveToTrash);
  return false;
}

}  // namespace feedlane
