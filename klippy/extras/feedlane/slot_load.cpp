// The first stretch of the filament path in both directions: from the spool into the box
// and up to the box outlet, and back to the slot's runout sensor; and the coupling of a
// slot motor to the printer's extruder.
#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedlane/box_extruder_stepper.h"

namespace feedlane {
namespace {

namespace reports = feedhub::reports;

// Probing the outlet again stops after this many successes in a row...
constexpr int kProbeSuccessesNeeded = 2;
// ...and fails after this many probes without them.
constexpr int kMaxProbes = 5;

}  // namespace

FeedMove BoxExtruderStepper::checked_tuning(const TuningKey& key) {
  try {
    return read_feed_move(feedhub_, key);
  } catch (const klippy::CommandError&) {
    disable_stepper();
    throw;
  }
}

void BoxExtruderStepper::stop_after_error(const klippy::TimerHandle& watch_timer) {
  if (watch_timer) reactor_.update_timer(watch_timer, klippy::Reactor::NEVER);
  disable_stepper();
}

feedhub::OpResult BoxExtruderStepper::slot_load() {
  using feedhub::OpResult;
  if (is_printing())
    return OpResult::not_run(stepper_label_ +
                             " was not loaded into the box while the print runs; pause the "
                             "print first.");
  feedhub::ActivityScope activity(feedhub_, feedhub::Operation::SlotLoad, stepper_num_);
  if (!sensors_.b_endstop_state()) {
    // Another slot's filament is in the outlet path: loading would jam the two.
    log_sensor_states();
    disable_stepper();
    save_state(SlotState::Failed);
    return OpResult::failed(reports::kExtruderLoaded, stepper_num_);
  }
  // Every value is checked before the first move, so a bad one changes nothing.
  const FeedMove to_outlet = checked_tuning(kSlotLoad1);
  const FeedMove back_off = checked_tuning(kSlotLoad2);
  const FeedMove park = checked_tuning(kSlotLoad3);
  const FeedMove probe = checked_tuning(kSlotLoad4);

  bool home_success = false;
  {
    const feedhub::TimerWake watching(reactor_, sensors_.b_endstop_timer());
    try {
      const feedhub::EndstopList& outlet = b_endstop_.get_endstops();
      // The outlet endstop trips when the sensor leaves its "clear" state.
      progress_.step("pulling the filament in to the box outlet");
      home_success =
          do_home(outlet, to_outlet.length_mm, to_outlet.speed_mm_s, to_outlet.accel_mm_s2, false);
      if (home_success) {
        int success_count = 0;
        home_success = false;
        progress_.step("checking that the outlet sensor sees it");
        for (int pass = 0; pass < kMaxProbes; ++pass) {
          do_move(back_off.length_mm, back_off.speed_mm_s, back_off.accel_mm_s2);
          const bool probed =
              do_home(outlet, probe.length_mm, probe.speed_mm_s, probe.accel_mm_s2, false);
          success_count = probed ? success_count + 1 : 0;
          if (success_count >= kProbeSuccessesNeeded) {
            home_success = true;
            break;
          }
        }
      }
    } catch (const klippy::CommandError&) {
      disable_stepper();
      throw;
    }
  }
  // Parked behind the outlet, so that the outlet path is free for the other slots.
  do_move(park.length_mm, park.speed_mm_s, park.accel_mm_s2);
  progress_.step("parking behind the box outlet", queued_moves_end());
  if (home_success) {
    save_state(SlotState::ParkedInBox);
    box_state_.set_loaded_slot(std::nullopt);
    disable_stepper();
    activity.succeeded({}, queued_moves_end());
    return OpResult::done();
  }
  log_sensor_states();
  disable_stepper();
  save_state(SlotState::Failed);
  return OpResult::failed(reports::kSlotLoadFailed, stepper_num_);
}

void BoxExtruderStepper::cmd_SLOT_UNLOAD(klippy::GCodeCommand& /*gcmd*/) {
  feedhub::conclude(feedhub_, slot_unload());
}

feedhub::OpResult BoxExtruderStepper::slot_unload() {
  using feedhub::OpResult;
  if (is_printing()) return OpResult::done();
  feedhub::ActivityScope activity(feedhub_, feedhub::Operation::SlotUnload, stepper_num_);
  const std::string last_load_slot = box_state_.loaded_slot_name();
  if (!sensors_.b_endstop_state() && last_load_slot == stepper_name_) {
    // This slot's filament reaches into the extruder: pulling it would tear it.
    log_sensor_states();
    return OpResult::failed(reports::kUnloadExtruderFirst, stepper_num_);
  }
  if (r_endstop_state_) {
    // Pulling a strand that is not there would only mark the slot for the next reload.
    gcode_.respond_info(stepper_label_ + " (" + stepper_name_ +
                        ") holds no filament at its sensor: nothing to unload.");
    return OpResult::done();
  }
  const FeedMove unload = checked_tuning(kSlotUnload1);
  slot_not_unload_ = false;
  const klippy::Value state_before = box_state_.slot_value(stepper_num_, klippy::Value());
  save_state(SlotState::AtSensor);
  bool home_success = false;
  try {
    // The runout endstop trips when the sensor stops seeing filament.
    progress_.step("pulling the filament back to the slot sensor");
    home_success = do_home(r_endstop_.get_endstops(), unload.length_mm, unload.speed_mm_s,
                           unload.accel_mm_s2, true);
  } catch (const klippy::CommandError&) {
    stop_after_error(nullptr);
    slot_not_unload_ = true;
    // Nothing was withdrawn: the saved state must not claim otherwise.
    box_state_.restore_slot_value(stepper_num_, state_before);
    throw;
  }
  if (home_success) {
    // Withdrawn on purpose: the slot reads as empty, so that no automatic reload takes the
    // strand back in; pushing it past the sensor again loads it like a new spool.
    save_state(SlotState::Empty);
  } else {
    save_state(SlotState::Failed);
    log_sensor_states();
  }
  disable_stepper();
  slot_not_unload_ = true;
  if (!home_success) return OpResult::failed(reports::kSlotUnloadFailed, stepper_num_);
  activity.succeeded({}, queued_moves_end());
  return OpResult::done();
}

bool BoxExtruderStepper::follow_extruder_if_coupled() {
  if (box_state_.coupled_slot_name() != stepper_name_) return false;
  // The toolhead's timeline is past this slot's moves: the host flushes them before the
  // motor changes queues.
  sync_print_time();
  extruder_stepper_->sync_to_extruder("extruder");
  follows_extruder_ = true;
  return true;
}

void BoxExtruderStepper::slot_sync(bool value) {
  if (!value) {
    extruder_stepper_->sync_to_extruder("");
    follows_extruder_ = false;
    box_state_.set_coupled_slot(std::nullopt);
    return;
  }
  const int slot_count = feedhub::saved_slot_count(feedhub_, 0);
  // Only one slot may push with the extruder: release every slot first, this one included.
  for (int slot = 0; slot < slot_count; ++slot)
    feedhub::slot_feeder(printer_, slot, "Coupling " + stepper_name_ + " to the extruder")
        .slot_sync(false);
  extruder_stepper_->sync_to_extruder("extruder");
  follows_extruder_ = true;
  box_state_.set_coupled_slot(stepper_num_);
}

}  // namespace feedlane
