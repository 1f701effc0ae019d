// TRY_MOVE_AGAIN: repeats the filament step that failed last, as recorded in retry_step,
// and resumes a paused print only when the repeated step did not fail again.
#include <algorithm>
#include <optional>
#include <string>

#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/jam_watch.h"
#include "klippy/extras/feedhub/slot_feeder.h"

namespace feedhub {
namespace {

// Nozzle temperature for a heated retry when the paused print left none.
constexpr int kDefaultResumeTempC = 250;

// The controller's own steps are recorded with "_00": they concern no particular slot.
bool concerns_no_slot(const RetryStep& step) {
  return step.slot_number == "00";
}

}  // namespace

void FeedHub::register_recovery_commands() {
  register_command(
      "TRY_MOVE_AGAIN", [this](klippy::GCodeCommand& gcmd) { cmd_RETRY(gcmd); },
      "Repeat the box step that failed last (retry_step), then resume the print it paused");
  register_command(
      "AUTO_RELOAD_FILAMENT",
      [this](klippy::GCodeCommand& gcmd) { cmd_AUTO_RELOAD_FILAMENT(gcmd); },
      "After a runout, load the next slot holding the same filament and resume the print");
  register_command(
      "RELOAD_ALL", [this](klippy::GCodeCommand& gcmd) { cmd_RELOAD_ALL(gcmd); },
      "Load every slot whose filament waits at its slot sensor into the box, reading its "
      "tag first; not while printing: RELOAD_ALL [FIRST=<slot to start at, default 0>]");
  register_command(
      "TIGHTEN_FILAMENT", [this](klippy::GCodeCommand& gcmd) { cmd_TIGHTEN_FILAMENT(gcmd); },
      "Take up slack between a tool's slot and the extruder (20 mm forward and back): "
      "TIGHTEN_FILAMENT T=<tool> (without T nothing moves)");
  register_command(
      "_BOX_FILAMENT_STOPPED", [this](klippy::GCodeCommand&) { on_filament_stopped(*this); },
      "Called by the box's motion sensor when the filament stops while the extruder prints: "
      "pauses the print fed by the box and says why");
  register_resume_guard_commands();
}

void FeedHub::refuse_unload_of_other_slot(const std::string& command,
                                          const std::string& slot_name) const {
  const std::string loaded = box_state_.loaded_slot_name();
  if (loaded == kNoSlot || loaded == slot_name) return;
  throw klippy::CommandError(command + ": " + slot_name +
                             " is not the slot loaded into the extruder; " + loaded +
                             " is. Unload " + loaded + " instead.");
}

void FeedHub::cmd_RETRY(klippy::GCodeCommand& gcmd) {
  const bool paused = print_stats_.state() == "paused";
  repeat_failed_step(gcmd);
  // A repeated step that failed again keeps the print paused: front ends show why anew.
  const auto& last_error = errors_.last_error();
  if (paused && !errors_.notice_open() && last_error && is_step_pending(box_state_.recorded_step()))
    errors_.announce_pause(last_error->report, last_error->slot);
}

void FeedHub::repeat_failed_step(klippy::GCodeCommand& gcmd) {
  ActivityScope activity(*this, Operation::Retry);
  const klippy::Value recorded = box_state_.recorded_step();
  // Accepted for the front ends that send it; a retried tag read needs no switch.
  gcmd.get_int("RFID", 0);
  // Never written (the default 0) reads the same as cleared: nothing failed.
  if (recorded.is_none() || recorded == klippy::Value(0)) {
    gcmd.respond_info("No step to retry");
    return;
  }
  const std::optional<RetryStep> step =
      recorded.is_string() ? parse_retry_step(recorded.as_string()) : std::nullopt;
  if (!step) {
    gcmd.respond_info("Invalid retry_step format");
    errors_.close_error_notice();
    box_state_.set_recorded_step(klippy::Value());
    return;
  }
  if (concerns_no_slot(*step)) {
    errors_.close_error_notice();
    box_state_.set_recorded_step(klippy::Value());
    gcmd.respond_info("Step " + step->name +
                      " concerns no particular slot and has no automatic retry; clear its "
                      "cause as its message says, then carry on by hand");
    return;
  }
  const std::string slot_name = "slot" + step->slot_number;
  // A retry refused here keeps its step, so that it can be retried once its cause is gone.
  SlotFeeder* retried = find_slot_feeder(printer_, slot_name);
  // Codes outside the table have no action of their own: they only resume.
  const std::optional<ErrorReport> report = report_of_step(step->name);
  const RetryAction action = report ? report->retry : RetryAction::None;
  const RetryHeat heat = retried ? prepare_retry(gcmd, action, *retried) : RetryHeat{};
  if (const std::optional<int> slot = slot_of_name(klippy::Value(slot_name)))
    variables_.stats().count_retry(*slot);
  print_journal_.count_retry();
  // Cleared first: a repeated step that fails again records itself anew.
  errors_.close_error_notice();
  box_state_.set_recorded_step(klippy::Value());
  // Names the slot when it has no feeder.
  SlotFeeder& feeder = slot_feeder(printer_, slot_name, "TRY_MOVE_AGAIN");
  gcode_.run_script_from_command("DISABLE_ALL_SENSOR");
  // Silent when the repeated step failed again: it has reported so.
  auto repeated = [&] {
    activity.succeeded_as("Repeated the failed step " + step->name + " of " +
                          slot_label(feeder.stepper_num()));
  };

  switch (action) {
    case RetryAction::ClearFailedSlotLoad: {
      const std::string label = slot_label(feeder.stepper_num());
      gcmd.respond_info("Cleared the failed slot load of " + label +
                        "; nothing was moved. Check that its filament passes the box outlet "
                        "sensor, then load " +
                        label + " again with RELOAD_ALL or by inserting its filament anew.");
      return;
    }
    case RetryAction::UnloadLoadedThenLoadSlot: {
      const std::string loaded = box_state_.loaded_slot_name();
      if (!conclude(*this, slot_feeder(printer_, loaded, "TRY_MOVE_AGAIN").extruder_unload(true)))
        return;
      if (conclude(*this, feeder.slot_load())) repeated();
      return;
    }
    case RetryAction::UnloadSlot:
      if (conclude(*this, feeder.slot_unload())) repeated();
      return;
    case RetryAction::UnloadExtruderThenSlot:
      refuse_unload_of_other_slot("TRY_MOVE_AGAIN", slot_name);
      if (!conclude(*this, feeder.extruder_unload(true))) return;
      if (conclude(*this, feeder.slot_unload())) repeated();
      return;
    case RetryAction::LoadExtruder: {
      OpResult loaded = OpResult::done();
      const bool paused = heated_retry(heat, [&] { loaded = feeder.extruder_load(); });
      if (!conclude(*this, loaded)) return;
      if (!paused) return repeated();
      break;
    }
    case RetryAction::UnloadExtruder: {
      OpResult unloaded = OpResult::done();
      const bool paused = heated_retry(heat, [&] { unloaded = feeder.extruder_unload(true); });
      if (!conclude(*this, unloaded)) return;
      if (!paused) return repeated();
      break;
    }
    case RetryAction::None:
    case RetryAction::Forget:
      break;
  }
  gcode_.run_script_from_command("M400");
  if (box_state_.recorded_step().is_none()) {
    // Only the resume follows a step without an action of its own: nothing was repeated.
    if (action != RetryAction::None && action != RetryAction::Forget) repeated();
    // The resume's macros read the loaded slot from the file.
    box_state_.write_pending();
    gcode_.run_script_from_command("RESUME_PRINT TOOL_CHANGE=1\n");
    print_journal_.check();
  }
}

RetryHeat FeedHub::prepare_retry(klippy::GCodeCommand& gcmd, RetryAction action,
                                 SlotFeeder& feeder) {
  RetryHeat heat;
  heat.print_paused = print_stats_.state() == "paused";
  const bool load = action == RetryAction::LoadExtruder;
  const bool unload = action == RetryAction::UnloadExtruder;
  if (!load && !unload) return heat;
  // Whatever stops the operation before its first move is found now: heating the nozzle
  // for it would take minutes and change nothing.
  const std::string& slot_name = feeder.stepper_name();
  const std::string label = slot_label(feeder.stepper_num());
  const std::string loaded = box_state_.loaded_slot_name();
  if (load && feeder.r_endstop_state())
    throw gcmd.error("TRY_MOVE_AGAIN: " + label + " has no filament at its slot sensor; insert " +
                     "the filament into " + label + " first, then retry.");
  if (load && !sensors_.b_endstop_state() && loaded != slot_name) {
    if (loaded == kNoSlot)
      throw gcmd.error(
          "TRY_MOVE_AGAIN: filament of no known slot is in the box outlet path, "
          "so " +
          label + " cannot pass; pull it out of the outlet, then retry.");
    throw gcmd.error(
        "TRY_MOVE_AGAIN: the filament of " + loaded + " is still in the box outlet path, so " +
        label + " cannot pass; unload it first (EXTRUDER_UNLOAD SLOT=" + loaded + "), then retry.");
  }
  if (unload) {
    refuse_unload_of_other_slot("TRY_MOVE_AGAIN", slot_name);
    // With the outlet clear the unload only reports that nothing is loaded.
    if (sensors_.b_endstop_state()) return heat;
  }
  if (heat.print_paused) {
    heat.nozzle_temp = resume_temperature_text();
    return heat;
  }
  const std::optional<TempRange> temps = heating_.get_temp_by_slot(slot_name);
  if (!temps)
    throw gcmd.error("TRY_MOVE_AGAIN: no nozzle temperature is known for the filament of " +
                     slot_name +
                     "; read its tag (RFID_READ) or save its filament type, then retry.");
  heat.nozzle_temp = std::to_string(temps->max_temp);
  return heat;
}

bool FeedHub::heated_retry(const RetryHeat& heat, const std::function<void()>& operation) {
  if (heat.nozzle_temp.empty()) {
    operation();
    return heat.print_paused;
  }
  gcode_.run_script_from_command("M109 S" + heat.nozzle_temp);
  operation();
  if (heat.print_paused) return true;
  gcode_.run_script_from_command("M104 S0");
  return false;
}

std::string FeedHub::resume_temperature_text() const {
  const auto& variables = gcode_macro_resume_.variables();
  const auto etemp = variables.find("etemp");
  if (etemp == variables.end()) return std::to_string(kDefaultResumeTempC);
  return etemp->second.str();
}

}  // namespace feedhub
