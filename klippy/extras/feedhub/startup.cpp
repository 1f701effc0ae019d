// Start-up tag reading and the box's service commands: INIT_RFID_READ, RUN_STEPPER and
// CLEAR_RUNOUT_NUM.
#include <string>

#include "klippy/extras/feedhub/at_exit.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/saved_values.h"
#include "klippy/extras/feedhub/slot_feeder.h"
#include "klippy/host/log.h"

namespace feedhub {
namespace {

constexpr double kTestPullMm = -50;
constexpr double kTestPullSpeedMmS = 80;
constexpr double kTestPullAccelMmS2 = 50;
constexpr double kTestPauseS = 0.5;

}  // namespace

void FeedHub::register_startup_commands() {
  register_command(
      "INIT_RFID_READ", [this](klippy::GCodeCommand& gcmd) { cmd_INIT_RFID_READ(gcmd); },
      "Read the tags of all slots holding filament, one after another (only with "
      "auto_init_detect 1 and the box outlet clear)");
  register_command(
      "RUN_STEPPER", [this](klippy::GCodeCommand& gcmd) { cmd_RUN_STEPPER(gcmd); },
      "Pull a slot's filament back 50 mm, to try its motor: RUN_STEPPER [STEPPER=<slot: 1A-4D, "
      "slot0-slot15 or 0-15, default 0>]");
  register_command(
      "CLEAR_RUNOUT_NUM", [this](klippy::GCodeCommand& gcmd) { cmd_CLEAR_RUNOUT_NUM(gcmd); },
      "Reset the runout counters (runout_0 to runout_15) of all slots to 0");
}

double FeedHub::delayed_init_rfid(double eventtime) {
  // The inspection's own moves would make the printer look busy: read once it has ended.
  if (startup_inspection_running_) {
    tag_reading_waits_for_inspection_ = true;
    return klippy::Reactor::NEVER;
  }
  auto* idle_timeout = printer_.lookup_object_or_null<klippy::PrinterObject>("idle_timeout");
  if (idle_timeout) {
    const std::optional<klippy::Value> status = idle_timeout->get_status(eventtime);
    const klippy::Value* printing_time = status ? status->find("printing_time") : nullptr;
    if (printing_time && printing_time->truthy()) return klippy::Reactor::NEVER;
  }
  start_up_tag_reading(eventtime);
  return klippy::Reactor::NEVER;
}

void FeedHub::start_up_tag_reading(double /*eventtime*/) {
  if (!sensors_.b_endstop_state() ||
      variables_.get_value_by_key("auto_init_detect", 0) != klippy::Value(1))
    return;
  const std::string print_state = print_stats_.state();
  if (print_state == "printing" || print_state == "paused") return;
  // Queued as an ordinary command, so that the reads wait for whatever G-code runs now.
  try {
    const BlackBox::OwnCommands own(black_box_);
    gcode_.run_script("INIT_RFID_READ\nM400\n");
  } catch (const klippy::CommandError& error) {
    // Already shown on the console; a start-up task must not take the reactor down.
    printer_.log().error(std::string("Start-up tag reading failed: ") + error.what());
  }
}

void FeedHub::cmd_INIT_RFID_READ(klippy::GCodeCommand& /*gcmd*/) {
  if (variables_.get_value_by_key("auto_init_detect", 0) == klippy::Value(0)) return;
  if (!sensors_.b_endstop_state()) {
    sensors_.set_can_load_slot(true);
    return;
  }
  // Runout handling must not start a reload while the strands are moved for reading.
  sensors_.set_can_load_slot(false);
  const AtExit reloads_allowed_again([this] { sensors_.set_can_load_slot(true); });
  const int slot_count = saved_slot_count(*this, 0);
  for (int slot = 0; slot < slot_count; ++slot) {
    SlotFeeder& feeder = slot_feeder(printer_, slot, "INIT_RFID_READ");
    if (feeder.r_endstop_state()) continue;
    sensors_.set_can_load_slot(false);
    if (!feeder.read_slot_tag()) break;
  }
}

void FeedHub::cmd_RUN_STEPPER(klippy::GCodeCommand& gcmd) {
  const std::string text = gcmd.get("STEPPER", "0");
  const std::optional<int> named = parse_slot(text);
  if (!named) throw gcmd.error(names_no_slot("RUN_STEPPER", "STEPPER", text));
  SlotFeeder& feeder = slot_feeder(printer_, slot_name(*named), "RUN_STEPPER");
  // Pulled back, a strand in the extruder would be where the box does not believe it is.
  const std::string& name = feeder.stepper_name();
  const int slot = feeder.stepper_num();
  if (feeder.follows_extruder() || box_state_.coupled_slot() == slot ||
      box_state_.loaded_slot() == slot || box_state_.slot_is(slot, SlotState::InExtruder))
    throw gcmd.error(
        "RUN_STEPPER: " + slot_label(feeder.stepper_num()) + " (" + name +
        ") is loaded into the extruder; unload it first with EXTRUDER_UNLOAD SLOT=" + name);
  feeder.do_move(kTestPullMm, kTestPullSpeedMmS, kTestPullAccelMmS2);
  feeder.dwell(kTestPauseS);
  feeder.disable_stepper();
}

void FeedHub::cmd_CLEAR_RUNOUT_NUM(klippy::GCodeCommand& /*gcmd*/) {
  // For every slot a printer can have, attached or not.
  for (int slot = 0; slot < kMaxSlots; ++slot)
    variables_.save_variable("runout_" + std::to_string(slot), 0);
}

}  // namespace feedhub
