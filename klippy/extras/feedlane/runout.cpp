// The slot's runout sensor, and the hand-over of a run-out spool's tool to a parked slot
// that holds the same filament.
#include <string>
#include <string_view>

#include "klippy/extras/feedhub/at_exit.h"
#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/extrusion_mode.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/gcode_lock.h"
#include "klippy/extras/feedhub/runout_group.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedhub/spool_keys.h"
#include "klippy/extras/feedlane/box_extruder_stepper.h"

namespace feedlane {
namespace {

namespace reports = feedhub::reports;

constexpr const char* kPurgeOnePortion =
    "G1 E100 F300\nG1 E-1 F1800\nM106 S255\nM400\nG4 P5000\nCLEAR_FLUSH\nM106 S0";
constexpr const char* kFinalPush = "G1 E25 F300";
constexpr int kMaxPurgePortions = 50;
constexpr double kTurnPauseS = 0.5;
// Longer than the MCU takes to report a settled button change to the host.
constexpr double kSensorReportDelayS = 0.25;

// What a tag read saved about a slot's filament.
struct SavedFilament {
  klippy::Value vendor;
  klippy::Value color;
  klippy::Value filament;

  bool complete() const { return !vendor.is_none() && !color.is_none() && !filament.is_none(); }
  bool operator==(const SavedFilament&) const = default;
};

SavedFilament saved_filament(const feedhub::FeedHub& hub, const std::string& slot_name) {
  return {hub.variables().get_value_by_key("vendor_" + slot_name, klippy::Value()),
          hub.variables().get_value_by_key("color_" + slot_name, klippy::Value()),
          hub.variables().get_value_by_key("filament_" + slot_name, klippy::Value())};
}

// "T3" for the saved key "value_t3"; the key itself for one of another form.
std::string tool_text(const std::string& tool_key) {
  constexpr std::string_view kToolKeyPrefix = "value_t";
  if (tool_key.starts_with(kToolKeyPrefix)) return "T" + tool_key.substr(kToolKeyPrefix.size());
  return tool_key;
}

}  // namespace

void BoxExtruderStepper::runout_button_callback(double eventtime, int state) {
  black_box_.sensor_report(feedhub::RecordedSensor::Runout, stepper_num_, state == 0, eventtime);
  sensor_report_ = state;
  // The host reports an empty slot's level at start, and nothing for a slot with its spool
  // in: a first report of an empty slot where a spool was saved is that spool taken out.
  const bool first_report = !sensor_reported_;
  sensor_reported_ = true;
  if (own_moves_at_sensor_) return;
  r_endstop_state_ = state;
  // A failure here must not stop the host's button handling: it is reported and logged.
  try {
    const bool printing = is_printing();
    const bool coupled = box_state_.coupled_slot_name() == stepper_name_;
    // The tail of a spool that ran out, still coupled in a running print, comes back over
    // the sensor with the next retraction and leaves again with the next extrusion: neither
    // is a new spool nor a second runout.
    if (!state && printing && coupled && eventtime - tail_left_sensor_at_ < kTailReturnS) {
      tail_over_sensor_ = true;
      return;
    }
    if (state && tail_over_sensor_) {
      tail_over_sensor_ = false;
      if (printing && coupled) {
        tail_left_sensor_at_ = eventtime;
        return;
      }
    }
    if (printing && coupled && state) tail_left_sensor_at_ = eventtime;
    if (printing && state) {
      const std::string counter = "runout_" + std::to_string(stepper_num_);
      variables_.stats().count_runout(stepper_num_);
      variables_.save_variable(
          counter, feedhub::saved_int(feedhub_, counter, 0, 0, feedhub::kMaxSavedCount) + 1);
    }
    if (state) {
      // Filament gone from the sensor takes its tag's data with it: what comes back is
      // unknown until its tag is read. A run-out spool of the print keeps it for the
      // hand-over.
      const bool feeds_print =
          printing && (coupled || box_state_.loaded_slot_name() == stepper_name_);
      const std::optional<SlotState> saved_state = box_state_.slot_state(stepper_num_);
      const bool spool_was_in =
          saved_state == SlotState::AtSensor || saved_state == SlotState::ParkedInBox;
      const bool level_at_start = first_report && !spool_was_in;
      if (!feeds_print && !level_at_start) forget_filament();
      save_state(SlotState::Empty);
      if (printing && coupled) {
        // The filament left in the tube still prints; the motion sensor must not pause for it.
        gcode_.run_script("SET_FILAMENT_SENSOR SENSOR=box_motion_sensor ENABLE=0");
        // With automatic replacement the next tool change hands the tool over, after
        // purging what is left. Without it nothing would stop the print once the strand's
        // tail leaves the extruder: it pauses now, with the rest of the strand in the path.
        if (!feedhub::hands_over_on_runout(feedhub_, stepper_num_))
          reactor_.register_callback([this](double) {
            pause_for_exhausted_spool();
            return klippy::Value();
          });
      }
      return;
    }
    // A new strand at the sensor is not the one the extruder holds: coupled, the slot motor
    // would drive it into the tube with every extrusion.
    if (coupled) slot_sync(false);
    save_state(SlotState::AtSensor);
    if (sensors_.can_load_slot() && slot_not_unload_)
      gcode_.run_script("RELOAD_ALL RFID=1 FIRST=" + std::to_string(stepper_num_) + "\nM400\n");
  } catch (const klippy::CommandError& e) {
    const std::string message =
        "Runout sensor of " + stepper_label_ + " (" + stepper_name_ + "): " + e.what();
    printer_.log().error(message);
    gcode_.respond_raw("!! " + message);
  }
}

void BoxExtruderStepper::pause_for_exhausted_spool() {
  try {
    // Between two lines of the print, as any command.
    const feedhub::GCodeLock lock(gcode_.get_mutex());
    if (!is_printing() || !follows_extruder_) return;
    errors_.report_error_general_step(reports::kFilamentExhausted, stepper_num_);
    errors_.pause_for_error(reports::kFilamentExhausted, stepper_num_);
  } catch (const klippy::CommandError& e) {
    const std::string message =
        "Pausing for the run-out spool of " + stepper_label_ + ": " + e.what();
    printer_.log().error(message);
    gcode_.respond_raw("!! " + message);
  }
}

void BoxExtruderStepper::forget_filament() {
  // Removed rather than cleared: an unread spool counts as the default filament.
  variables_.remove_variables(feedhub::spool_keys(stepper_name_));
}

void BoxExtruderStepper::follow_sensor_again() {
  if (own_moves_at_sensor_ || sensor_report_ == r_endstop_state_) return;
  // From a task of its own: the callback may queue a reload, which waits for the G-code
  // lock that the caller may hold.
  reactor_.register_callback([this](double eventtime) {
    if (!own_moves_at_sensor_ && sensor_report_ != r_endstop_state_)
      runout_button_callback(eventtime, sensor_report_);
    return klippy::Value();
  });
}

void BoxExtruderStepper::set_drying(bool drying) {
  is_drying_ = drying;
  if (!drying) follow_sensor_again();
}

void BoxExtruderStepper::turn_over(double distance_mm, double speed_mm_s, double accel_mm_s2) {
  const feedhub::ActivityScope activity(feedhub_, feedhub::Operation::TurnOver, stepper_num_);
  own_moves_at_sensor_ = true;
  const feedhub::AtExit sensor_followed_again([this] {
    own_moves_at_sensor_ = false;
    follow_sensor_again();
  });
  do_move(-distance_mm, speed_mm_s, accel_mm_s2);
  dwell(kTurnPauseS);
  do_move(distance_mm, speed_mm_s, accel_mm_s2);
  disable_stepper();
  toolhead().wait_moves();
  // The last sensor reports of the moves reach the host a little after them.
  reactor_.pause(reactor_.monotonic() + kSensorReportDelayS);
}

feedhub::OpResult BoxExtruderStepper::flush_all_filament() {
  const feedhub::ExtrusionMode print_mode =
      feedhub::extrusion_mode(feedhub_.gcode_move(), reactor_.monotonic());
  gcode_.run_script_from_command("M83");
  bool flush_success = false;
  for (int portion = 0; portion < kMaxPurgePortions; ++portion) {
    if (!filament_at_extruder_entry()) {
      gcode_.run_script_from_command(kFinalPush);
      flush_success = true;
      break;
    }
    gcode_.run_script_from_command(kPurgeOnePortion);
  }
  gcode_.run_script_from_command(feedhub::restore_extrusion(print_mode));
  slot_sync(false);
  disable_stepper();
  return flush_success ? feedhub::OpResult::done()
                       : feedhub::OpResult::failed_general(reports::kFlushFailed, stepper_num_);
}

int BoxExtruderStepper::switch_next_slot() {
  // Asked for by the automatic reload, which then loads the replacement and says so itself;
  // the hand-over alone takes no time worth telling.
  feedhub::ActivityScope hand_over(feedhub_, feedhub::Operation::HandOver, stepper_num_);
  return hand_over_tool(hand_over, true);
}

int BoxExtruderStepper::hand_over_tool(feedhub::ActivityScope& runout_handling, bool purged) {
  if (!feedhub::hands_over_on_runout(feedhub_, stepper_num_)) return -1;
  const SavedFilament wanted = saved_filament(feedhub_, stepper_name_);
  // A slot of a run-out group is backed up by its group, whatever the spools are described as.
  const bool by_group = feedhub::runout_group(feedhub_, stepper_num_) != 0;
  if (!by_group && !wanted.complete()) {
    errors_.report_error_general_step(reports::kNoFilamentSpecified, stepper_num_);
    return -1;
  }
  const int total = feedhub::saved_slot_count(feedhub_, 1);
  int next_slot = -1;
  // Every other slot once, the following ones first, wrapping past the last slot.
  for (int i = stepper_num_ + 1; i < stepper_num_ + total; ++i) {
    const int slot = i >= total ? i - total : i;
    const std::string name = feedhub::slot_name(slot);
    const bool matches = feedhub::same_runout_group(feedhub_, stepper_num_, slot)
                             .value_or(saved_filament(feedhub_, name) == wanted);
    if (matches && box_state_.slot_is(slot, SlotState::ParkedInBox)) {
      next_slot = slot;
      break;
    }
  }
  if (next_slot < 0) {
    errors_.report_error(reports::kNoReplaceableSlot);
    return -1;
  }
  const std::string tool_key =
      variables_.get_key_by_value(stepper_name_, feedhub::tool_slot_key(stepper_num_), "value_t");
  variables_.save_variable(tool_key, feedhub::slot_name(next_slot));
  // The hand-over has used what the run-out spool's tag said; its successor is unknown.
  forget_filament();
  // The tool is served by another slot from now on, whatever the print does next: the user
  // has to know which, also when the purge before failed and paused the print.
  const std::string handed =
      "Handed tool " + tool_text(tool_key) + " over to " + feedhub::slot_label(next_slot);
  if (!purged)
    gcode_.respond_info(handed + " (" + stepper_label_ + " ran out); load " +
                        feedhub::slot_label(next_slot) + " before resuming.");
  else
    runout_handling.succeeded_as(handed, stepper_label_ + " ran out");
  return next_slot;
}

}  // namespace feedlane
